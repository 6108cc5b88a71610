// The page's server: one thread per connection and one request per connection (Connection:
// close). The main thread waits in poll() for a connection or a stop signal; SIGINT and SIGTERM
// stay blocked in every thread and arrive through a signalfd, so no handler ever runs.
#include "host/Serve.h"

#include "host/Help.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace vt::host {

namespace {

const char* const BuildHint =
    "build it with `cmake --preset web && cmake --build --preset web`, or name its folder "
    "with --root DIR or VELTRANE_WEB";

using Clock = std::chrono::steady_clock;

constexpr size_t MaxHead = 16 * 1024; // request line and headers
constexpr int HeadSeconds = 5;        // for the whole head to arrive
constexpr int IdleSeconds = 10;       // longest wait for the client to take more of a response
constexpr int LingerSeconds = 2;      // reading what the client still sends after the response
constexpr size_t MaxConnections = 64; // connections served at once; more are told 503

// Every response's headers besides its type and length: the page runs its own scripts and
// WebAssembly and loads nothing from elsewhere.
const char* const FixedHeaders =
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Cache-Control: no-cache\r\n"
    "Content-Security-Policy: default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; "
    "img-src 'self' blob: data:; style-src 'self'; connect-src 'self'; worker-src 'self' blob:; "
    "object-src 'none'; base-uri 'none'; form-action 'none'\r\n"
    "Connection: close\r\n";

// A descriptor closed when it goes out of scope.
struct TDescriptor {
    int Fd = -1;
    explicit TDescriptor(int fd) : Fd(fd) {}
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
    ~TDescriptor() {
        if (Fd >= 0)
            close(Fd);
    }
};

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

// Waits until Socket is ready for Events or Milliseconds pass; false on a timeout or an error.
bool WaitFor(int socket, short events, int milliseconds) {
    pollfd p{socket, events, 0};
    for (;;) {
        const int ready = poll(&p, 1, milliseconds);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0;
    }
}

const char* Reason(int status) {
    static const std::pair<int, const char*> Reasons[] = {
        {200, "OK"},
        {400, "Bad Request"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {408, "Request Timeout"},
        {413, "Content Too Large"},
        {431, "Request Header Fields Too Large"},
        {503, "Service Unavailable"},
        {505, "HTTP Version Not Supported"},
    };
    for (const auto& [code, reason] : Reasons)
        if (code == status)
            return reason;
    return "Internal Server Error";
}

// Now as HTTP writes dates, independent of the locale.
std::string HttpDate() {
    static const char* const Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    gmtime_r(&now, &t);
    char day[8], rest[32];
    std::strftime(day, sizeof day, "%d", &t);
    std::strftime(rest, sizeof rest, "%Y %H:%M:%S GMT", &t);
    return std::string(Days[t.tm_wday % 7]) + ", " + day + " " + Months[t.tm_mon % 12] + " " + rest;
}

std::string ResponseHead(int status, const std::string& type, uintmax_t length,
                         const char* extra = "") {
    return "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\nDate: " + HttpDate() +
           "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(length) + "\r\n" +
           FixedHeaders + extra + "\r\n";
}

// Sends all of Data on the non-blocking Socket; false when the client stops taking it.
bool SendAll(int socket, const char* data, size_t size) {
    while (size > 0) {
        if (!WaitFor(socket, POLLOUT, IdleSeconds * 1000))
            return false;
        const ssize_t sent = send(socket, data, size, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

void SendError(int socket, int status, bool withBody) {
    const std::string body = std::to_string(status) + " " + Reason(status) + "\n";
    std::string response = ResponseHead(status, "text/plain; charset=utf-8", body.size(),
                                        status == 405 ? "Allow: GET, HEAD\r\n" : "");
    if (withBody)
        response += body;
    SendAll(socket, response.data(), response.size());
}

// Half-closes the connection and reads, for a moment, what the client still sends (a refused
// body, say): closing with unread data would reset the connection, and the client could lose
// the response before reading it.
void Linger(int socket) {
    shutdown(socket, SHUT_WR);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(LingerSeconds);
    char buffer[4096];
    for (size_t drained = 0; drained < (1u << 20);) {
        if (!WaitFor(socket, POLLIN, MillisecondsUntil(deadline)))
            return;
        const ssize_t got = recv(socket, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (got <= 0)
            return;
        drained += static_cast<size_t>(got);
    }
}

enum class THeadRead { Read, Closed, TimedOut, TooLarge };

// Reads the request line and headers into Head, up to (without) the blank line that ends them.
THeadRead ReadHead(int socket, std::string& head) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(HeadSeconds);
    char buffer[4096];
    for (;;) {
        const int wait = MillisecondsUntil(deadline);
        if (wait == 0 || !WaitFor(socket, POLLIN, wait))
            return Clock::now() >= deadline ? THeadRead::TimedOut : THeadRead::Closed;
        const ssize_t got = recv(socket, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (got <= 0)
            return THeadRead::Closed;
        // The head ends at a line feed followed by an empty line (CRLF or a bare LF).
        size_t from = head.size() >= 2 ? head.size() - 2 : 0;
        head.append(buffer, static_cast<size_t>(got));
        for (size_t at = head.find('\n', from); at != std::string::npos;
             at = head.find('\n', at + 1)) {
            if (head.compare(at + 1, 1, "\n") == 0 || head.compare(at + 1, 2, "\r\n") == 0) {
                if (at > MaxHead)
                    return THeadRead::TooLarge;
                head.resize(at);
                return THeadRead::Read;
            }
        }
        if (head.size() > MaxHead)
            return THeadRead::TooLarge;
    }
}

struct TRequest {
    std::string Method;
    std::string Target;
    bool HasBody = false;
};

bool IsToken(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
    });
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Parses the head into Request; returns 0, or the status that refuses a malformed head.
int ParseHead(const std::string& head, TRequest& request) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < head.size();) {
        size_t end = head.find('\n', at);
        if (end == std::string::npos)
            end = head.size();
        std::string line = head.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const bool control = std::any_of(line.begin(), line.end(), [](char c) {
            return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
        });
        if (control)
            return 400;
        if (!line.empty() || !lines.empty()) // empty lines before the request line are skipped
            lines.push_back(line);
        at = end + 1;
    }
    if (lines.empty() || std::count(lines[0].begin(), lines[0].end(), ' ') != 2)
        return 400;
    const std::string& first = lines[0];
    const size_t space1 = first.find(' '), space2 = first.rfind(' ');
    request.Method = first.substr(0, space1);
    request.Target = first.substr(space1 + 1, space2 - space1 - 1);
    const std::string version = first.substr(space2 + 1);
    if (!IsToken(request.Method) || request.Target.empty())
        return 400;
    const bool versionShaped = version.size() == 8 && version.compare(0, 5, "HTTP/") == 0 &&
                               version[6] == '.' && version[5] >= '0' && version[5] <= '9' &&
                               version[7] >= '0' && version[7] <= '9';
    if (!versionShaped)
        return 400;
    if (version[5] != '1')
        return 505;
    int hosts = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const size_t colon = line.find(':');
        if (colon == std::string::npos || !IsToken(line.substr(0, colon)))
            return 400; // also a folded line, which starts with white space
        const std::string name = Lower(line.substr(0, colon));
        const size_t begin = line.find_first_not_of(" \t", colon + 1);
        const std::string value =
            begin == std::string::npos
                ? std::string()
                : line.substr(begin, line.find_last_not_of(" \t") + 1 - begin);
        if (name == "content-length") {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
                return 400;
            if (value.find_first_not_of('0') != std::string::npos)
                request.HasBody = true;
        } else if (name == "transfer-encoding") {
            request.HasBody = true;
        } else if (name == "host") {
            ++hosts;
        }
    }
    if (version == "HTTP/1.1" && hosts != 1)
        return 400;
    return 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool Inside(const fs::path& root, const fs::path& path) {
    const auto [r, p] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return r == root.end() && p != path.end();
}

// Finds the file that Target names inside Root (canonical): its canonical path in File and
// the path as requested in Requested. Returns 0, 400 for a target that is not a path or is
// badly encoded, or 404 when it names nothing that may be served.
int Resolve(const fs::path& root, std::string target, fs::path& file, fs::path& requested) {
    if (Lower(target.substr(0, 7)) == "http://") { // the absolute form names this server too
        const size_t slash = target.find('/', 7);
        target = slash == std::string::npos ? "/" : target.substr(slash);
    }
    if (target[0] != '/')
        return 400;
    target.resize(std::min(target.size(), target.find_first_of("?#")));
    std::string path;
    for (size_t i = 0; i < target.size(); ++i) {
        if (target[i] != '%') {
            path += target[i];
            continue;
        }
        const int high = i + 2 < target.size() ? HexDigit(target[i + 1]) : -1;
        const int low = i + 2 < target.size() ? HexDigit(target[i + 2]) : -1;
        if (high < 0 || low < 0)
            return 400;
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (path == "/") {
        requested = "index.html";
    } else {
        // Every segment must be a plain name: none empty, none hidden (which covers "." and
        // ".."), no backslash, no NUL.
        for (size_t at = 1;;) {
            const size_t end = std::min(path.find('/', at), path.size());
            const std::string segment = path.substr(at, end - at);
            if (segment.empty() || segment[0] == '.' ||
                segment.find_first_of(std::string("\\\0", 2)) != std::string::npos)
                return 404;
            requested /= segment;
            if (end == path.size())
                break;
            at = end + 1;
        }
    }
    std::error_code error;
    file = fs::canonical(root / requested, error);
    if (error || !Inside(root, file) || !fs::is_regular_file(file, error))
        return 404;
    return 0;
}

const char* ContentType(const fs::path& requested) {
    static const std::pair<const char*, const char*> Types[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript"},
        {".mjs", "text/javascript"},
        {".css", "text/css"},
        {".wasm", "application/wasm"},
        {".json", "application/json"},
        {".png", "image/png"},
        {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},
        {".webmanifest", "application/manifest+json"},
        {".txt", "text/plain"},
    };
    const std::string extension = Lower(requested.extension().string());
    for (const auto& [ending, type] : Types)
        if (extension == ending)
            return type;
    return "application/octet-stream";
}

void ServeFile(int socket, const fs::path& root, const TRequest& request) {
    const bool withBody = request.Method == "GET";
    fs::path file, requested;
    if (const int status = Resolve(root, request.Target, file, requested); status != 0)
        return SendError(socket, status, withBody);
    // Non-blocking, so that a FIFO put in the file's place since cannot hold the thread.
    TDescriptor in(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (in.Fd < 0 || fstat(in.Fd, &info) != 0 || !S_ISREG(info.st_mode))
        return SendError(socket, 404, withBody);
    const std::string head =
        ResponseHead(200, ContentType(requested), static_cast<uintmax_t>(info.st_size));
    if (!SendAll(socket, head.data(), head.size()) || !withBody)
        return;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = read(in.Fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || !SendAll(socket, buffer.data(), static_cast<size_t>(got)))
            return;
    }
}

void HandleConnection(int socket, const fs::path& root) {
    std::string head;
    int status = 0;
    switch (ReadHead(socket, head)) {
    case THeadRead::Closed:
        return;
    case THeadRead::TimedOut:
        return SendError(socket, 408, true);
    case THeadRead::TooLarge:
        status = 431;
        break;
    case THeadRead::Read:
        break;
    }
    TRequest request;
    if (status == 0)
        status = ParseHead(head, request);
    if (status == 0 && request.Method != "GET" && request.Method != "HEAD")
        status = 405;
    if (status == 0 && request.HasBody)
        status = 413; // the server never receives anything, an image least of all
    if (status != 0)
        SendError(socket, status, request.Method != "HEAD");
    else
        ServeFile(socket, root, request);
    Linger(socket);
}

// The connections' threads. Each closes its socket when done and leaves its id to be joined.
class TConnections {
public:
    explicit TConnections(fs::path root) : Root(std::move(root)) {}
    TConnections(const TConnections&) = delete;
    TConnections& operator=(const TConnections&) = delete;
    ~TConnections() { StopAll(); }

    // Serves Socket on a thread of its own; false (Socket left open) when too many are open.
    bool Start(int socket) {
        Reap();
        std::lock_guard<std::mutex> hold(Lock);
        if (Threads.size() >= MaxConnections)
            return false;
        const uint64_t id = Next++;
        try {
            Sockets[id] = socket;
            std::thread& slot = Threads[id]; // the node first: a thread must never be dropped
            slot = std::thread(&TConnections::Run, this, socket, id);
        } catch (const std::exception&) {
            Sockets.erase(id);
            Threads.erase(id);
            return false;
        }
        return true;
    }

    // Joins the threads that have finished.
    void Reap() {
        std::vector<std::thread> done;
        {
            std::lock_guard<std::mutex> hold(Lock);
            for (const uint64_t id : Finished) {
                if (const auto found = Threads.find(id); found != Threads.end()) {
                    done.push_back(std::move(found->second));
                    Threads.erase(found);
                }
            }
            Finished.clear();
        }
        for (std::thread& t : done)
            t.join();
    }

    // Cuts every open connection short and joins every thread.
    void StopAll() {
        std::vector<std::thread> all;
        {
            std::lock_guard<std::mutex> hold(Lock);
            for (const auto& [id, socket] : Sockets)
                shutdown(socket, SHUT_RDWR);
            for (auto& [id, thread] : Threads)
                all.push_back(std::move(thread));
            Threads.clear();
            Finished.clear();
        }
        for (std::thread& t : all)
            t.join();
    }

private:
    void Run(int socket, uint64_t id) {
        try {
            HandleConnection(socket, Root);
        } catch (const std::exception&) {
            // Out of memory or the like: this connection is given up, the server goes on.
        }
        std::lock_guard<std::mutex> hold(Lock);
        close(socket); // under the lock: StopAll must never shut down a reused descriptor
        Sockets.erase(id);
        Finished.push_back(id);
    }

    const fs::path Root;
    std::mutex Lock;
    std::map<uint64_t, std::thread> Threads;
    std::map<uint64_t, int> Sockets; // open connections, to cut short on stopping
    std::vector<uint64_t> Finished;  // ids of threads that are done, to be joined
    uint64_t Next = 0;
};

fs::path FindRoot(const std::string& given) {
    const auto folder = [](const fs::path& path) {
        std::error_code error;
        return fs::is_directory(path, error);
    };
    if (!given.empty()) {
        if (!folder(given))
            throw std::runtime_error("serve: --root " + given + " is not a folder");
        return fs::canonical(given);
    }
    if (const char* web = std::getenv("VELTRANE_WEB"); web != nullptr && *web != '\0') {
        if (!folder(web))
            throw std::runtime_error(std::string("serve: VELTRANE_WEB names ") + web +
                                     ", which is not a folder");
        return fs::canonical(web);
    }
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (!error)
        for (const char* relative : {"../../web/page", "../share/veltrane/web"})
            if (const fs::path candidate = program.parent_path() / relative; folder(candidate))
                return fs::canonical(candidate);
    throw std::runtime_error(
        std::string("serve: the web page is not built (no web/page beside the build, no "
                    "share/veltrane/web beside the installed program); ") +
        BuildHint);
}

uint16_t ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos || std::stol(text) > 65535)
        throw std::invalid_argument("serve: --port takes a number from 0 to 65535, not '" + text +
                                    "'");
    return static_cast<uint16_t>(std::stol(text));
}

// A listening socket on Address and Port; throws with the reason when there can be none.
int Listen(const std::string& address, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string where = address + " port " + std::to_string(port);
    if (const int rc = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
        rc != 0)
        throw std::runtime_error("serve: cannot listen on " + where + ": " + gai_strerror(rc));
    int reason = 0;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            reason = errno;
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 64) == 0) {
            freeaddrinfo(found);
            return fd;
        }
        reason = errno;
        close(fd);
    }
    freeaddrinfo(found);
    throw std::runtime_error("serve: cannot listen on " + where + ": " + std::strerror(reason));
}

// The URL of the listening socket, and whether only this machine can reach it.
std::string UrlOf(int listener, bool& loopback) {
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    char host[NI_MAXHOST] = "?", port[NI_MAXSERV] = "?";
    loopback = false;
    if (getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &size) == 0) {
        getnameinfo(reinterpret_cast<const sockaddr*>(&bound), size, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
        if (bound.ss_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(&bound);
            loopback = (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
        } else if (bound.ss_family == AF_INET6) {
            const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_addr;
            loopback =
                IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
        }
    }
    const std::string shown = bound.ss_family == AF_INET6 ? "[" + std::string(host) + "]" : host;
    return "http://" + shown + ":" + port + "/";
}

} // namespace

int ServeCommand(const std::vector<std::string>& args) {
    std::string address = "127.0.0.1", rootGiven;
    uint16_t port = 8080;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            std::fputs(ServeHelp, stdout);
            return 0;
        }
        if (a != "--port" && a != "--address" && a != "--root")
            throw std::invalid_argument("serve: unexpected argument '" + a + "'\n" + ServeHelp);
        if (i + 1 >= args.size())
            throw std::invalid_argument("serve: " + a + " needs a value\n" + ServeHelp);
        const std::string& value = args[++i];
        if (a == "--port")
            port = ParsePort(value);
        else if (a == "--address")
            address = value;
        else
            rootGiven = value;
    }
    const fs::path root = FindRoot(rootGiven);
    std::error_code error;
    if (!fs::is_regular_file(root / "index.html", error))
        std::fprintf(stderr, "veltrane: serve: warning: %s has no index.html (is it the page?)\n",
                     root.c_str());

    // Blocked before any thread starts, so that every thread inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    const TDescriptor signals(signalfd(-1, &stop, SFD_CLOEXEC));
    if (signals.Fd < 0)
        throw std::runtime_error(std::string("serve: cannot wait for signals: ") +
                                 std::strerror(errno));
    const TDescriptor listener(Listen(address, port));

    bool loopback = false;
    const std::string url = UrlOf(listener.Fd, loopback);
    std::printf("Serving the page at %s\n", url.c_str());
    std::fflush(stdout);
    if (!loopback)
        std::fprintf(stderr,
                     "veltrane: serve: listening on %s, so the page is reachable from the "
                     "network by anyone who can reach this machine\n",
                     address.c_str());

    TConnections connections(root);
    pollfd waits[2] = {{listener.Fd, POLLIN, 0}, {signals.Fd, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("serve: ") + std::strerror(errno));
        }
        if (waits[1].revents != 0)
            break;
        if ((waits[0].revents & POLLIN) == 0)
            continue;
        const int client = accept4(listener.Fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let some close
            continue;
        }
        if (!connections.Start(client)) {
            const std::string busy = ResponseHead(503, "text/plain; charset=utf-8", 0);
            send(client, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            close(client);
        }
    }
    connections.StopAll();
    return 0;
}

} // namespace vt::host
