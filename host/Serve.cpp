// The page's server, on cpp-httplib: the library parses each request, routes it and writes the
// response; this file says what is served, with which headers, and how long and how much a
// connection may take. One request per connection (Connection: close).
//
// A connection costs a thread only once its request has arrived. One thread reads the heads of
// every arriving connection together, so that clients that send slowly or nothing hold no
// worker; a complete head goes to one of a fixed number of workers, or, when every worker is
// busy, is told 503 at once. The same thread lets answered connections linger until the client
// has closed its side. SIGINT and SIGTERM stay blocked in every thread; the main thread waits
// for them and then stops the server.
#include "host/Serve.h"

#include "host/Help.h"
#include "platform/Serving.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace vt::host {

namespace {

const char* const BuildHint =
    "build it with `cmake --preset web && cmake --build --preset web`, or name its folder "
    "with --root DIR or VELTRANE_WEB";

// The request line and headers must arrive within HeadSeconds of the connection and MaxHead
// bytes. MaxHead is below cpp-httplib's own limit on one line (8192 bytes), so that a long head
// is answered 431 here rather than 400 there.
constexpr size_t MaxHead = 8000;
constexpr int HeadSeconds = 5;
constexpr int IdleMilliseconds = 10000; // longest wait for the client to take more of a response
constexpr int LingerMilliseconds = 2000;
constexpr size_t LingerBytes = 1 << 20;
constexpr size_t Workers = 32;      // requests served at once; beyond them a request is told 503
constexpr size_t MaxArriving = 512; // connections arriving or lingering; the oldest give way

// Every response's headers: the page runs its own scripts and WebAssembly and loads nothing
// from elsewhere; every file is revalidated, which its ETag makes a 304; ranges are not served.
const httplib::Headers FixedHeaders = {
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-cache"},
    {"Accept-Ranges", "none"},
    {"Content-Security-Policy",
     "default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; img-src 'self' blob: data:; "
     "style-src 'self'; connect-src 'self'; worker-src 'self' blob:; object-src 'none'; "
     "base-uri 'none'; form-action 'none'"},
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return s;
}

std::string Trim(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t");
    return begin == std::string::npos ? "" : s.substr(begin, s.find_last_not_of(" \t") + 1 - begin);
}

// The comma-separated items of a header, trimmed.
std::vector<std::string> Items(const std::string& header) {
    std::vector<std::string> items;
    for (size_t at = 0; at <= header.size();) {
        const size_t end = std::min(header.find(',', at), header.size());
        items.push_back(Trim(header.substr(at, end - at)));
        at = end + 1;
    }
    return items;
}

// Now as HTTP writes dates (the program runs in the C locale).
std::string HttpDate() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    gmtime_r(&now, &t);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &t);
    return text;
}

// A connection on the reading thread: its head arriving until Deadline, or, once answered,
// lingering: what the client still sends (a refused body, say) is read and dropped until it
// closes or Deadline passes, since closing with it unread would reset the connection and the
// client could lose the answer before reading it.
struct TArrival {
    int Socket = -1;
    platform::TDeadline Deadline;
    std::string Head; // what has arrived
    bool Lingering = false;
    size_t Dropped = 0;
};

// Whether Head holds a whole request head within MaxHead bytes; the search starts at From.
bool HeadEnds(const std::string& head, size_t from) {
    const std::string_view within = std::string_view(head).substr(0, MaxHead);
    from = from < 3 ? 0 : from - 3;
    return within.find("\r\n\r\n", from) != std::string_view::npos ||
           within.find("\n\n", from) != std::string_view::npos;
}

// A connection as cpp-httplib reads and writes it: first the head as it arrived, then the socket
// until the head's deadline; the response with a bound on how long the client may leave each
// part untaken.
class TConnection final : public httplib::Stream {
public:
    explicit TConnection(TArrival&& arrival)
        : Local(platform::BoundAddress(arrival.Socket)), Socket(arrival.Socket),
          Deadline(arrival.Deadline), Head(std::move(arrival.Head)) {}

    const platform::TBoundAddress Local; // the address the client reached
    bool Failed = false;                 // the client did not take the response
    std::string RequestLine;             // as received, for what the library lets pass

    bool is_readable() const override { return Next < Head.size(); }
    bool is_writable() const override { return platform::WaitWritable(Socket, IdleMilliseconds); }
    ssize_t read(char* data, size_t size) override {
        if (Next == Head.size()) { // a body, which is never taken: read only to be refused
            const long got = platform::ReceiveBefore(Socket, data, size, Deadline);
            return got < 0 ? -1 : static_cast<ssize_t>(got);
        }
        size = std::min(size, Head.size() - Next);
        std::memcpy(data, Head.data() + Next, size);
        if (RequestLine.empty() || RequestLine.back() != '\n') {
            const char *from = data, *end = std::find(from, from + size, '\n');
            RequestLine.append(from, end == from + size ? end : end + 1);
        }
        Next += size;
        return static_cast<ssize_t>(size);
    }
    ssize_t write(const char* data, size_t size) override {
        Failed = Failed || !platform::SendAll(Socket, data, size, IdleMilliseconds);
        return Failed ? -1 : static_cast<ssize_t>(size);
    }
    using httplib::Stream::write;
    void get_remote_ip_and_port(std::string&, int&) const override {}
    void get_local_ip_and_port(std::string&, int&) const override {}
    socket_t socket() const override { return Socket; }

private:
    const int Socket;
    const platform::TDeadline Deadline;
    const std::string Head;
    size_t Next = 0;
};

// The connection being served on this thread, for the handlers.
thread_local TConnection* Current = nullptr;

// The library's accepting thread hands each connection to TPageServer at once.
class TAtOnce final : public httplib::TaskQueue {
    void enqueue(std::function<void()> task) override { task(); }
    void shutdown() override {}
};

// cpp-httplib's server with its connections taken as this file's opening says: the reading
// thread, the workers, and what passes between them.
class TPageServer final : public httplib::Server {
public:
    TPageServer() {
        new_task_queue = [] { return new TAtOnce; };
    }
    ~TPageServer() override {
        if (Reader.joinable()) {
            CutConnections();
            Join();
        }
    }
    TPageServer(const TPageServer&) = delete;
    TPageServer& operator=(const TPageServer&) = delete;

    int ListeningSocket() const { return svr_sock_; }

    // Starts the reading thread and the workers.
    void Start() {
        Reader = std::thread([this] { ReadHeads(); });
        for (size_t i = 0; i < Workers; ++i)
            Serving.emplace_back([this] { Work(); });
    }

    // Takes no more connections, cuts short those being served and lets the threads end.
    void CutConnections() {
        std::lock_guard<std::mutex> hold(Lock);
        Stopping = true;
        for (const int socket : Open)
            platform::CutShort(socket);
        Wake.Signal();
        WorkToDo.notify_all();
    }

    // After CutConnections: waits for the threads and closes what they left.
    void Join() {
        Reader.join();
        for (std::thread& worker : Serving)
            worker.join();
        for (const TArrival& left : Incoming)
            platform::Close(left.Socket);
        for (const TArrival& left : Ready)
            platform::Close(left.Socket);
        Incoming.clear();
        Ready.clear();
    }

private:
    static platform::TDeadline In(int milliseconds) {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    }

    // On the accepting thread: the connection goes to the reading thread.
    bool process_and_close_socket(socket_t socket) override {
        platform::MakeNonBlocking(socket);
        Hand({socket, In(HeadSeconds * 1000), {}, false, 0});
        return true;
    }

    // Gives Arrival to the reading thread (closed instead once stopping).
    void Hand(TArrival&& arrival) {
        const int socket = arrival.Socket;
        try {
            std::lock_guard<std::mutex> hold(Lock);
            if (!Stopping) {
                Incoming.push_back(std::move(arrival));
                Wake.Signal();
                return;
            }
        } catch (const std::exception&) {
            // Out of memory: this connection is given up, the server goes on.
        }
        platform::Close(socket);
    }

    // The reading thread.
    void ReadHeads() {
        std::vector<TArrival> arriving;
        std::vector<int> sockets;
        std::vector<unsigned char> ready;
        for (;;) {
            Wake.Drain();
            {
                std::lock_guard<std::mutex> hold(Lock);
                if (Stopping)
                    break;
                for (TArrival& a : Incoming)
                    arriving.push_back(std::move(a));
                Incoming.clear();
            }
            if (arriving.size() > MaxArriving) { // the oldest deadlines give way
                std::nth_element(
                    arriving.begin(), arriving.end() - MaxArriving, arriving.end(),
                    [](const TArrival& a, const TArrival& b) { return a.Deadline < b.Deadline; });
                for (auto a = arriving.begin(); a != arriving.end() - MaxArriving; ++a)
                    platform::Close(a->Socket);
                arriving.erase(arriving.begin(), arriving.end() - MaxArriving);
            }
            auto first = platform::TDeadline::max();
            sockets.assign(1, Wake.Descriptor());
            for (const TArrival& a : arriving) {
                first = std::min(first, a.Deadline);
                sockets.push_back(a.Socket);
            }
            const auto now = std::chrono::steady_clock::now();
            const int wait =
                arriving.empty()
                    ? -1
                    : static_cast<int>(std::clamp<long long>(
                          std::chrono::duration_cast<std::chrono::milliseconds>(first - now)
                                  .count() +
                              1,
                          0, 1 << 30));
            platform::WaitReadable(sockets, wait, ready);
            size_t kept = 0;
            for (size_t i = 0; i < arriving.size(); ++i) {
                if (!Advance(arriving[i], ready[i + 1] != 0))
                    continue;
                if (kept != i)
                    arriving[kept] = std::move(arriving[i]);
                ++kept;
            }
            arriving.resize(kept);
        }
        for (const TArrival& a : arriving)
            platform::Close(a.Socket);
    }

    // Takes what has arrived on A; false when A has left the reading thread.
    bool Advance(TArrival& a, bool readable) {
        char buffer[4096];
        while (readable) {
            const long got = platform::ReceiveNow(a.Socket, buffer, sizeof buffer);
            if (got == -2)
                break;
            if (got == 0 && !a.Lingering && !a.Head.empty()) // all there is: the library answers
                return Dispatch(a);
            if (got <= 0 ||
                (a.Lingering && (a.Dropped += static_cast<size_t>(got)) > LingerBytes)) {
                platform::Close(a.Socket);
                return false;
            }
            if (a.Lingering)
                continue;
            const size_t from = a.Head.size();
            a.Head.append(buffer, static_cast<size_t>(got));
            if (HeadEnds(a.Head, from))
                return Dispatch(a);
            if (a.Head.size() > MaxHead)
                return Answer(a, "431 Request Header Fields Too Large");
        }
        if (std::chrono::steady_clock::now() < a.Deadline)
            return true;
        if (a.Lingering || a.Head.empty()) { // nothing asked (a browser's spare connection)
            platform::Close(a.Socket);
            return false;
        }
        return Answer(a, "408 Request Timeout");
    }

    // Gives A, whose head has arrived, to an idle worker, or tells it 503 when none is.
    bool Dispatch(TArrival& a) {
        {
            std::lock_guard<std::mutex> hold(Lock);
            if (Idle > Ready.size()) {
                Ready.push_back(std::move(a));
                WorkToDo.notify_one();
                return false;
            }
        }
        return Answer(a, "503 Service Unavailable", "Retry-After: 1\r\n");
    }

    // Answers A from the reading thread with Status and no body, and lets it linger.
    static bool Answer(TArrival& a, const char* status, const char* extra = "") {
        const std::string head = std::string("HTTP/1.1 ") + status + "\r\nDate: " + HttpDate() +
                                 "\r\nConnection: close\r\nContent-Length: 0\r\n" + extra + "\r\n";
        platform::SendAll(a.Socket, head.data(), head.size(), 0); // a new connection takes it
        platform::HalfClose(a.Socket);
        a.Lingering = true;
        a.Head = std::string();
        a.Deadline = In(LingerMilliseconds);
        return true;
    }

    // A worker.
    void Work() {
        std::unique_lock<std::mutex> hold(Lock);
        for (;;) {
            ++Idle;
            WorkToDo.wait(hold, [this] { return Stopping || !Ready.empty(); });
            --Idle;
            if (Stopping)
                return;
            TArrival arrival = std::move(Ready.front());
            Ready.pop_front();
            const int socket = arrival.Socket;
            Open.insert(socket);
            hold.unlock();
            bool linger = false;
            try {
                linger = Serve(std::move(arrival));
            } catch (const std::exception&) {
                // Out of memory or the like: this connection is given up, the server goes on.
            }
            Current = nullptr;
            hold.lock();
            Open.erase(
                socket); // before it is closed: CutConnections must never cut a reused number
            hold.unlock();
            if (linger)
                Hand({socket, In(LingerMilliseconds), {}, true, 0});
            else
                platform::Close(socket);
            hold.lock();
        }
    }

    // Serves one request; false when the client is not to be waited for any more.
    bool Serve(TArrival&& arrival) {
        TConnection connection(std::move(arrival));
        Current = &connection;
        bool closed = false;
        process_request(connection, true, closed, nullptr);
        if (!connection.Failed)
            platform::HalfClose(connection.socket());
        return !connection.Failed;
    }

    std::mutex Lock;
    std::condition_variable WorkToDo;
    std::vector<TArrival> Incoming; // for the reading thread
    std::deque<TArrival> Ready;     // heads arrived, for the workers
    size_t Idle = 0;                // workers waiting
    std::set<int> Open;             // the connections being served
    bool Stopping = false;
    platform::TWakeUp Wake; // ends the reading thread's wait
    std::thread Reader;
    std::vector<std::thread> Serving;
};

// The names a request may give in its Host header, with this server's port or none: the address
// given, the one bound to, the one the client reached, and the loopback names when that is a
// loopback address. So a server on every address goes by each of the machine's addresses but by
// no name that someone else's DNS makes point here.
struct THosts {
    std::set<std::string> Names;
    int Port = 0;

    bool Allow(std::string host, const platform::TBoundAddress& reached) const {
        host = Lower(host);
        const size_t colon = host.rfind(':'), bracket = host.rfind(']');
        if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
            const std::string port = host.substr(colon + 1);
            if (!port.empty() && port != std::to_string(Port))
                return false;
            host.resize(colon);
        }
        return Names.count(host) != 0 || host == reached.Host ||
               (reached.Loopback &&
                (host == "localhost" || host == "127.0.0.1" || host == "[::1]"));
    }
};

bool HasControl(const std::string& s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
    });
}

// The status that refuses Request before any file is looked for (set in Response), or 0.
int Refuse(const httplib::Request& request, httplib::Response& response, const THosts& hosts) {
    const std::string length = request.get_header_value("Content-Length");
    const size_t hostCount = request.get_header_value_count("Host");
    const TConnection& connection = *Current; // handlers run only within TPageServer::Serve
    // The library splits the request line on runs of spaces; here it has exactly two.
    const std::string& line = connection.RequestLine;
    int status = 0;
    if (std::count(line.begin(), line.end(), ' ') != 2 ||
        HasControl(line.substr(0, line.find_last_not_of("\r\n") + 1)))
        status = 400;
    else if (std::any_of(request.headers.begin(), request.headers.end(),
                         [](const auto& h) { return HasControl(h.first) || HasControl(h.second); }))
        status = 400;
    else if (hostCount > 1 || (hostCount == 0 && request.version != "HTTP/1.0"))
        status = 400;
    else if (hostCount == 1 && !hosts.Allow(request.get_header_value("Host"), connection.Local))
        status = 421; // a name this server does not go by: a DNS-rebinding page, say
    else if (request.method != "GET" && request.method != "HEAD")
        status = 405;
    else if (request.has_header("Content-Length") &&
             (length.empty() || length.find_first_not_of("0123456789") != std::string::npos))
        status = 400;
    else if (length.find_first_not_of('0') != std::string::npos ||
             request.has_header("Transfer-Encoding"))
        status = 413; // the server never receives anything, an image least of all
    if (status == 405)
        response.set_header("Allow", "GET, HEAD");
    if (status != 0)
        response.status = status;
    return status;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool Inside(const fs::path& root, const fs::path& path) {
    const auto [r, p] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return r == root.end() && p != path.end();
}

// The file that Target names inside Root (canonical), as requested and as found on disk.
// Returns 0, 400 for a target that is not a path or is badly encoded, or 404 when it names
// nothing that may be served.
int Resolve(const fs::path& root, std::string target, fs::path& requested, fs::path& file) {
    if (Lower(target.substr(0, 7)) == "http://") { // the absolute form names this server too
        const size_t slash = target.find('/', 7);
        target = slash == std::string::npos ? "/" : target.substr(slash);
    }
    if (target.empty() || target[0] != '/')
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
    return error || !Inside(root, file) || !fs::is_regular_file(file, error) ? 404 : 0;
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

// Whether the client's Accept-Encoding takes Coding (named, and not with q=0).
bool Accepts(const std::string& acceptEncoding, const std::string& coding) {
    for (const std::string& item : Items(acceptEncoding)) {
        const size_t semicolon = item.find(';');
        if (Lower(Trim(item.substr(0, semicolon))) != coding)
            continue;
        std::string weight = semicolon == std::string::npos ? "" : Lower(item.substr(semicolon));
        weight.erase(std::remove(weight.begin(), weight.end(), ' '), weight.end());
        return weight.compare(0, 3, ";q=") != 0 ||
               weight.find_first_not_of("0.", 3) != std::string::npos;
    }
    return false;
}

// One form of a file: itself, or NAME.br or NAME.gz beside it.
struct TRepresentation {
    fs::path File;
    std::string Encoding; // empty for the file itself
    uintmax_t Size = 0;
    std::string ETag;
};

// The form of File to send: a compressed copy that the client accepts and that is at least as
// new as File, else File itself.
TRepresentation Choose(const fs::path& root, const fs::path& file,
                       const std::string& acceptEncoding) {
    std::error_code error;
    const auto modified = fs::last_write_time(file, error);
    TRepresentation chosen{file, "", fs::file_size(file, error), ""};
    for (const auto& [coding, suffix] : {std::pair{"br", ".br"}, std::pair{"gzip", ".gz"}}) {
        if (!Accepts(acceptEncoding, coding))
            continue;
        const fs::path copy = fs::canonical(fs::path(file) += suffix, error);
        if (!error && Inside(root, copy) && fs::is_regular_file(copy, error) &&
            fs::last_write_time(copy, error) >= modified && !error) {
            chosen = {copy, coding, fs::file_size(copy, error), ""};
            break;
        }
    }
    const auto stamp = fs::last_write_time(chosen.File, error).time_since_epoch().count();
    chosen.ETag = "\"" + std::to_string(chosen.Size) + "-" +
                  std::to_string(static_cast<unsigned long long>(stamp)) +
                  (chosen.Encoding.empty() ? "" : "-" + chosen.Encoding) + "\"";
    return chosen;
}

// Whether If-None-Match names ETag (weakly, as a GET compares).
bool Matches(const std::string& ifNoneMatch, const std::string& etag) {
    for (std::string item : Items(ifNoneMatch)) {
        if (item.compare(0, 2, "W/") == 0)
            item.erase(0, 2);
        if (item == "*" || item == etag)
            return true;
    }
    return false;
}

void ServeFile(const fs::path& root, const httplib::Request& request, httplib::Response& response) {
    fs::path requested, file;
    if (const int status = Resolve(root, request.target, requested, file); status != 0) {
        response.status = status;
        return;
    }
    const TRepresentation form = Choose(root, file, request.get_header_value("Accept-Encoding"));
    response.set_header("ETag", form.ETag);
    response.set_header("Vary", "Accept-Encoding");
    if (Matches(request.get_header_value("If-None-Match"), form.ETag)) {
        response.status = 304;
        response.set_header("Content-Length", std::to_string(form.Size));
        return;
    }
    auto in = std::make_shared<std::ifstream>(form.File, std::ios::binary);
    if (!*in || form.Size == static_cast<uintmax_t>(-1)) { // gone since it was found
        response.status = 404;
        return;
    }
    if (!form.Encoding.empty())
        response.set_header("Content-Encoding", form.Encoding);
    if (form.Size == 0)
        return response.set_content(std::string(), ContentType(requested));
    response.set_content_provider(
        static_cast<size_t>(form.Size), ContentType(requested),
        [in](size_t offset, size_t length, httplib::DataSink& sink) {
            char buffer[64 * 1024];
            in->seekg(static_cast<std::streamoff>(offset));
            in->read(buffer, static_cast<std::streamsize>(std::min(length, sizeof buffer)));
            const std::streamsize got = in->gcount();
            return got > 0 && sink.write(buffer, static_cast<size_t>(got));
        });
}

void Route(TPageServer& server, const fs::path& root, const THosts& hosts) {
    using httplib::Request, httplib::Response, httplib::Server;
    server.set_default_headers(FixedHeaders);
    server.set_pre_routing_handler([hosts](const Request& request, Response& response) {
        // Ranges are not served. The library has parsed them into its own request object,
        // which handlers see const; without them it sends the whole file.
        const_cast<Request&>(request).ranges.clear();
        response.set_header("Date", HttpDate());
        return Refuse(request, response, hosts) != 0 ? Server::HandlerResponse::Handled
                                                     : Server::HandlerResponse::Unhandled;
    });
    server.set_expect_100_continue_handler([hosts](const Request& request, Response& response) {
        const int status = Refuse(request, response, hosts);
        return status != 0 ? status : 100;
    });
    server.Get(".*", [root](const Request& request, Response& response) {
        ServeFile(root, request, response);
    });
    server.set_error_handler(Server::HandlerWithResponse([](const Request&, Response& response) {
        if (!response.has_header("Date"))
            response.set_header("Date", HttpDate());
        return Server::HandlerResponse::Unhandled;
    }));
    server.set_exception_handler(
        [](const Request&, Response& response, std::exception_ptr) { response.status = 500; });
}

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

int ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos || std::stol(text) > 65535)
        throw std::invalid_argument("serve: --port takes a number from 0 to 65535, not '" + text +
                                    "'");
    return std::stoi(text);
}

} // namespace

int ServeCommand(const std::vector<std::string>& args) {
    std::string address = "127.0.0.1", rootGiven;
    int port = 8080;
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

    platform::BlockStopSignals(); // before any thread starts, so that every thread inherits it
    TPageServer server;
    server.set_socket_options(platform::ReuseAddress); // the library's default adds SO_REUSEPORT
    errno = 0;
    if (!server.bind_to_port(address, port)) {
        const int reason = errno;
        throw std::runtime_error("serve: cannot listen on " + address + " port " +
                                 std::to_string(port) + ": " +
                                 (reason != 0 ? std::strerror(reason) : "no such address here"));
    }
    // The library listens with room for 5 waiting connections; a burst of them would then
    // wait for the client's retry, a second or more.
    platform::SetBacklog(server.ListeningSocket(), 128);
    const platform::TBoundAddress bound = platform::BoundAddress(server.ListeningSocket());
    THosts hosts{{}, bound.Port};
    if (!bound.Everywhere)
        hosts.Names = {Lower(address), bound.Host};
    Route(server, root, hosts);
    server.Start();

    // The addresses to open: on every address of the machine, each of its interfaces' (on an
    // IPv6 socket the IPv4 ones too, which it also takes), loopback first.
    std::vector<platform::TInterfaceAddress> urls;
    if (bound.Everywhere)
        urls = platform::InterfaceAddresses(bound.Host != "0.0.0.0");
    if (urls.empty())
        urls.push_back({bound.Host, bound.Loopback});
    for (size_t i = 0; i < urls.size(); ++i)
        std::printf("%s http://%s:%d/\n", i == 0 ? "Serving the page at" : "                and",
                    urls[i].Host.c_str(), bound.Port);
    if (std::any_of(urls.begin(), urls.end(),
                    [](const platform::TInterfaceAddress& url) { return !url.Loopback; }))
        std::printf("Offline use and installing the page need HTTPS or localhost (a service "
                    "worker runs only in a secure context): from another device the page works "
                    "while this server runs; to keep it there, publish %s on an HTTPS host (see "
                    "the README).\n",
                    root.c_str());
    std::fflush(stdout);
    if (!bound.Loopback)
        std::fprintf(stderr,
                     "veltrane: serve: listening on %s, so the page is reachable from the "
                     "network by anyone who can reach this machine\n",
                     address.c_str());

    std::atomic<bool> stopping{false}, failed{false};
    std::thread listening([&] {
        server.listen_after_bind();
        if (!stopping) { // the library gave up accepting connections
            failed = true;
            platform::RaiseStopSignal();
        }
    });
    // The library's stop only takes effect once it listens.
    while (!server.is_running() && !failed)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    platform::WaitForStopSignal();
    stopping = true;
    server.CutConnections();
    server.stop();
    listening.join();
    server.Join();
    if (failed)
        throw std::runtime_error("serve: the server stopped accepting connections");
    return 0;
}

} // namespace vt::host
