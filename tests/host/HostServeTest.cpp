// `veltrane serve` end to end: the server runs as a child process on a free port over a small
// page in a temporary folder, and every case speaks raw HTTP to it, so that malformed and
// hostile requests reach it exactly as written.
#include "platform/Process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct TServer {
    pid_t Pid = -1;
    int Port = 0;
    int Output = -1; // the read end of its standard output
};

// The next line the server printed (cut short if none comes within a minute: a hang).
std::string Line(const TServer& server) {
    std::string line;
    char c = 0;
    pollfd output{server.Output, POLLIN, 0};
    while (poll(&output, 1, 60000) == 1 && read(server.Output, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// Starts `veltrane serve --port 0 Extra...` and reads the port from its first line.
TServer Start(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {VT_HOST_PATH, "serve", "--port", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    TServer server;
    server.Pid = fork();
    if (server.Pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    server.Output = out[0];
    const std::string line = Line(server);
    std::smatch match;
    EXPECT_TRUE(
        std::regex_match(line, match, std::regex(R"(Serving the page at http://[0-9.]+:(\d+)/)")))
        << line;
    if (!match.empty())
        server.Port = std::stoi(match[1]);
    return server;
}

// Stops the server with Signal and returns its exit status (-1: it did not exit normally).
int Stop(TServer& server, int signal) {
    kill(server.Pid, signal);
    int status = 0;
    waitpid(server.Pid, &status, 0);
    close(server.Output);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct TReply {
    int Status = 0;
    std::map<std::string, std::string> Headers; // names in lower case
    std::string Body;
    std::string Header(const std::string& name) const {
        const auto found = Headers.find(name);
        return found == Headers.end() ? "(none)" : found->second;
    }
};

// A connection to the server at Address that has sent Request as it is (-1 when none could be
// made); with ReceiveBuffer, the room it keeps for what it has not read.
int Connect(int port, const std::string& request, const std::string& address = "127.0.0.1",
            int receiveBuffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval guard{60, 0}; // against a hang only, never judged
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    return fd;
}

// Reads the reply on Fd to the end and closes it.
TReply Reply(int fd) {
    TReply reply;
    if (fd < 0)
        return reply;
    std::string all;
    char buffer[4096];
    for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        all.append(buffer, static_cast<size_t>(got));
    close(fd);
    const size_t end = all.find("\r\n\r\n");
    if (end == std::string::npos || all.compare(0, 9, "HTTP/1.1 ") != 0)
        return reply;
    reply.Status = std::stoi(all.substr(9, 3));
    reply.Body = all.substr(end + 4);
    std::istringstream head(all.substr(0, end));
    std::string line;
    std::getline(head, line);
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t colon = line.find(": ");
        std::string name = line.substr(0, colon);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        reply.Headers[name] = line.substr(colon + 2);
    }
    return reply;
}

// Sends Request as it is on a new connection and reads the reply to the end.
TReply Exchange(int port, const std::string& request) {
    return Reply(Connect(port, request));
}

// Method Target with a Host this server goes by and the Headers given (each ending in CRLF).
TReply Get(int port, const std::string& target, const std::string& method = "GET",
           const std::string& headers = "") {
    return Exchange(port,
                    method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n" + headers + "\r\n");
}

const std::string Index = "<!doctype html><title>page</title><script src=app.js></script>\n";
const std::string Wasm("\0asm\1\0\0\0", 8);

class Serve : public testing::Test {
protected:
    // One server for the suite, over: index.html, app.wasm, sub/app.js with its .br and .gz
    // copies, in.js (a link to it), style.css with an older .gz, empty.txt, big.bin (2 MB), out
    // (a link to a file beside the page), .hidden, an empty folder dir.
    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() /
              ("veltrane-serve-" + std::to_string(std::random_device()()));
        fs::create_directories(dir / "page/sub");
        fs::create_directories(dir / "page/dir");
        std::ofstream(dir / "page/index.html", std::ios::binary) << Index;
        std::ofstream(dir / "page/app.wasm", std::ios::binary) << Wasm;
        std::ofstream(dir / "page/sub/app.js") << "export const x = 1;\n";
        std::ofstream(dir / "page/sub/app.js.br") << "BROTLI";
        std::ofstream(dir / "page/sub/app.js.gz") << "GZIP";
        std::ofstream(dir / "page/style.css.gz") << "OLD GZIP";
        std::ofstream(dir / "page/style.css") << "body {}\n";
        fs::last_write_time(dir / "page/style.css.gz",
                            fs::last_write_time(dir / "page/style.css") - std::chrono::hours(1));
        std::ofstream(dir / "page/empty.txt");
        std::ofstream(dir / "page/big.bin") << std::string(2 << 20, 'b');
        std::ofstream(dir / "page/.hidden") << "SECRET\n";
        std::ofstream(dir / "secret.txt") << "SECRET\n";
        fs::create_symlink("sub/app.js", dir / "page/in.js");
        fs::create_symlink(dir / "secret.txt", dir / "page/out");
        server = Start({"--root", (dir / "page").string()});
    }
    // The server has outlived every case, and stops cleanly on SIGTERM.
    static void TearDownTestSuite() {
        EXPECT_EQ(Get(server.Port, "/").Status, 200);
        EXPECT_EQ(Stop(server, SIGTERM), 0);
        fs::remove_all(dir);
    }
    static inline fs::path dir;
    static inline TServer server;
};

TEST_F(Serve, FilesWithTheirTypesAndHeaders) {
    const TReply index = Get(server.Port, "/");
    EXPECT_EQ(index.Status, 200);
    EXPECT_EQ(index.Body, Index);
    EXPECT_EQ(index.Header("content-length"), std::to_string(Index.size()));
    EXPECT_EQ(index.Header("content-type"), "text/html; charset=utf-8");
    EXPECT_EQ(index.Header("x-content-type-options"), "nosniff");
    EXPECT_EQ(index.Header("referrer-policy"), "no-referrer");
    EXPECT_EQ(index.Header("cache-control"), "no-cache");
    EXPECT_EQ(index.Header("content-security-policy"),
              "default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; img-src 'self' blob: "
              "data:; style-src 'self'; connect-src 'self'; worker-src 'self' blob:; "
              "object-src 'none'; base-uri 'none'; form-action 'none'");

    const TReply wasm = Get(server.Port, "/app.wasm");
    EXPECT_EQ(wasm.Body, Wasm);
    EXPECT_EQ(wasm.Header("content-type"), "application/wasm");
    for (const char* script : {"/sub/app.js?v=2", "/in.js"}) {
        const TReply js = Get(server.Port, script);
        EXPECT_EQ(js.Body, "export const x = 1;\n") << script;
        EXPECT_EQ(js.Header("content-type"), "text/javascript") << script;
    }
    EXPECT_EQ(Exchange(server.Port, "GET /index.html HTTP/1.0\r\n\r\n").Body, Index);

    const TReply head = Get(server.Port, "/app.wasm", "HEAD");
    EXPECT_EQ(head.Status, 200);
    EXPECT_EQ(head.Header("content-length"), "8");
    EXPECT_EQ(head.Body, "");

    // Ranges are not served: the whole file comes back.
    const TReply ranged = Get(server.Port, "/app.wasm", "GET", "Range: bytes=2-3\r\n");
    EXPECT_EQ(ranged.Status, 200);
    EXPECT_EQ(ranged.Body, Wasm);
    const TReply empty = Get(server.Port, "/empty.txt");
    EXPECT_EQ(empty.Status, 200);
    EXPECT_EQ(empty.Header("content-length"), "0");
}

TEST_F(Serve, NothingButThePagesOwnFiles) {
    for (const char* target :
         {"/missing.js", "/../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt",
          "/sub/../../secret.txt", "/sub/./app.js", "/index.html%00.js", "/out", "/.hidden", "/sub",
          "/sub/", "/dir", "//index.html", "/sub%5Capp.js"}) {
        const TReply reply = Get(server.Port, target);
        EXPECT_EQ(reply.Status, 404) << target;
        EXPECT_EQ(reply.Body.find("SECRET"), std::string::npos) << target;
    }
}

TEST_F(Serve, RefusesOtherMethodsBodiesAndMalformedRequests) {
    for (const char* method : {"POST", "PUT", "DELETE"}) {
        const TReply reply = Exchange(
            server.Port, std::string(method) + " /index.html HTTP/1.1\r\nHost: localhost\r\n"
                                               "Content-Length: 4\r\n\r\nabcd");
        EXPECT_EQ(reply.Status, 405) << method;
        EXPECT_EQ(reply.Header("allow"), "GET, HEAD") << method;
    }
    EXPECT_EQ(
        Exchange(server.Port, "GET / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n\r\nab")
            .Status,
        413);
    for (const char* bad :
         {"GARBAGE\r\n\r\n", "GET /\r\n\r\n", "GET / HTTP/1.1 x\r\nHost: localhost\r\n\r\n",
          "GET  / HTTP/1.1\r\nHost: localhost\r\n\r\n",
          "GET index.html HTTP/1.1\r\nHost: localhost\r\n\r\n",
          "GET / HTTP/1.1\r\nHost: localhost\r\nHost: localhost\r\n\r\n",
          "GET / HTTP/1.1\r\nHost: localhost\r\nContent-Length: x\r\n\r\n",
          "GET / HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\nHost localhost\r\n\r\n",
          "GET /%zz HTTP/1.1\r\nHost: localhost\r\n\r\n",
          "GET / HTTP/1.1\r\nHost: localhost\rb\r\n\r\n"})
        EXPECT_EQ(Exchange(server.Port, bad).Status, 400) << bad;
    const std::string huge = "GET / HTTP/1.1\r\nHost: localhost\r\nX: " + std::string(20000, 'a');
    EXPECT_EQ(Exchange(server.Port, huge + "\r\n\r\n").Status, 431);
}

TEST_F(Serve, AnswersOnlyToTheNamesItGoesBy) {
    const std::string port = ":" + std::to_string(server.Port);
    for (const std::string& host :
         {std::string("localhost"), "LocalHost" + port, "127.0.0.1" + port, std::string("[::1]")})
        EXPECT_EQ(Exchange(server.Port, "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n").Status, 200)
            << host;
    // A page from elsewhere whose name was made to point here (DNS rebinding) is refused.
    for (const std::string& host :
         {std::string("attacker.example"), "attacker.example" + port, std::string("127.0.0.2")})
        EXPECT_EQ(Exchange(server.Port, "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n").Status, 421)
            << host;

    EXPECT_EQ(Exchange(server.Port, "GET / HTTP/1.1\r\nHost: localhost:1\r\n\r\n").Status, 421);
}

TEST_F(Serve, OnEveryAddressItPrintsAndGoesByEachOfTheMachinesAddresses) {
    TServer open = Start({"--root", (dir / "page").string(), "--address", "0.0.0.0"});
    const std::string port = ":" + std::to_string(open.Port);
    // The addresses printed: loopback first, then every other one, as `hostname -I` lists them.
    std::vector<std::string> printed = {"127.0.0.1"}; // the first line, which Start has read
    std::string line;
    const std::regex also(R"( +and http://([0-9.]+):(\d+)/)");
    std::smatch match;
    while (std::regex_match(line = Line(open), match, also)) {
        EXPECT_EQ(match[2], std::to_string(open.Port));
        printed.push_back(match[1]);
    }
    EXPECT_NE(line.find("need HTTPS or localhost"), std::string::npos) << line;
    std::string others;
    vt::platform::RunCommand("hostname -I", &others);
    std::istringstream words(others);
    for (std::string address; words >> address;)
        EXPECT_TRUE(address.find(':') != std::string::npos || // the server is on IPv4 only
                    std::find(printed.begin(), printed.end(), address) != printed.end())
            << address;

    // Each is served under its own name, none under another, and localhost only on loopback.
    for (const std::string& address : printed) {
        const auto status = [&](const std::string& host) {
            return Reply(
                       Connect(open.Port, "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n", address))
                .Status;
        };
        EXPECT_EQ(status(address + port), 200) << address;
        EXPECT_EQ(status(address), 200) << address;
        EXPECT_EQ(status("localhost" + port), address == "127.0.0.1" ? 200 : 421) << address;
        for (const std::string& host : {"attacker.example" + port, std::string("veltrane.lan"),
                                        "0.0.0.0" + port, address + ":1"})
            EXPECT_EQ(status(host), 421) << address << " as " << host;
    }
    EXPECT_EQ(Stop(open, SIGTERM), 0);
}

TEST_F(Serve, ValidatorsAnswerNotModified) {
    const TReply first = Get(server.Port, "/app.wasm");
    const std::string etag = first.Header("etag");
    EXPECT_EQ(etag.front(), '"');
    for (const std::string& match : {etag, "W/" + etag, "\"other\", " + etag, std::string("*")}) {
        for (const char* method : {"GET", "HEAD"}) {
            const TReply again =
                Get(server.Port, "/app.wasm", method, "If-None-Match: " + match + "\r\n");
            EXPECT_EQ(again.Status, 304) << method << " " << match;
            EXPECT_EQ(again.Body, "");
            EXPECT_EQ(again.Header("etag"), etag);
            EXPECT_EQ(again.Header("content-length"), "8");
        }
    }
    EXPECT_EQ(Get(server.Port, "/app.wasm", "GET", "If-None-Match: \"other\"\r\n").Body, Wasm);

    // A file that changes gets a new validator, and the old one no longer matches.
    std::ofstream(dir / "page/changing.txt") << "one";
    const std::string before = Get(server.Port, "/changing.txt").Header("etag");
    std::ofstream(dir / "page/changing.txt") << "three";
    const TReply after =
        Get(server.Port, "/changing.txt", "GET", "If-None-Match: " + before + "\r\n");
    EXPECT_EQ(after.Status, 200);
    EXPECT_EQ(after.Body, "three");
    EXPECT_NE(after.Header("etag"), before);
}

TEST_F(Serve, PrecompressedCopiesForClientsThatTakeThem) {
    const auto fetch = [](const std::string& target, const std::string& accept) {
        return Get(server.Port, target, "GET", "Accept-Encoding: " + accept + "\r\n");
    };
    const TReply br = fetch("/sub/app.js", "gzip, deflate, br");
    EXPECT_EQ(br.Body, "BROTLI");
    EXPECT_EQ(br.Header("content-encoding"), "br");
    EXPECT_EQ(br.Header("content-type"), "text/javascript");
    EXPECT_EQ(br.Header("vary"), "Accept-Encoding");
    const TReply gzip = fetch("/in.js", "br;q=0, gzip;q=0.5");
    EXPECT_EQ(gzip.Body, "GZIP");
    EXPECT_EQ(gzip.Header("content-encoding"), "gzip");
    const TReply plain = fetch("/sub/app.js", "identity");
    EXPECT_EQ(plain.Body, "export const x = 1;\n");
    EXPECT_EQ(plain.Header("content-encoding"), "(none)");
    EXPECT_NE(br.Header("etag"), gzip.Header("etag"));
    EXPECT_NE(gzip.Header("etag"), plain.Header("etag"));
    EXPECT_EQ(fetch("/sub/app.js", "br").Body, "BROTLI");
    // A copy older than its file is out of date and never sent.
    EXPECT_EQ(fetch("/style.css", "gzip").Body, "body {}\n");
}

TEST_F(Serve, SlowClientsHoldNoWorker) {
    // A hundred clients that send nothing and ten that send a head byte by byte and never end
    // it, more than there are workers: a client that asks in the meantime is served.
    std::vector<int> silent, slow;
    for (int i = 0; i < 100; ++i)
        silent.push_back(Connect(server.Port, ""));
    const std::string partial = "GET / HTTP/1.1\r\nHost: localhost\r\n";
    for (int i = 0; i < 10; ++i)
        slow.push_back(Connect(server.Port, ""));
    for (const char c : partial)
        for (const int fd : slow)
            send(fd, &c, 1, MSG_NOSIGNAL);
    EXPECT_EQ(Get(server.Port, "/").Body, Index);
    // Once their time is up, the head left unfinished is answered 408, and the silent ones are
    // closed without a word.
    EXPECT_EQ(Reply(slow[0]).Status, 408);
    EXPECT_EQ(Reply(silent[0]).Status, 0);
    for (const int fd : silent)
        close(fd);
    for (const int fd : slow)
        close(fd);
}

TEST_F(Serve, ABusyServerSays503AtOnce) {
    // Clients that ask for a large file and do not read it hold a worker each; when every worker
    // is held, a request is told 503 rather than kept waiting; once they go, it is served.
    std::vector<int> holding;
    std::map<std::string, int> answers;
    for (int i = 0; i < 64; ++i) {
        holding.push_back(Connect(server.Port, "GET /big.bin HTTP/1.1\r\nHost: localhost\r\n\r\n",
                                  "127.0.0.1", 4096));
        char status[12];
        answers[recv(holding.back(), status, sizeof status, MSG_WAITALL) == sizeof status
                    ? std::string(status + 9, 3)
                    : "none"]++;
    }
    EXPECT_GT(answers["200"], 0);
    EXPECT_GT(answers["503"], 0);
    EXPECT_EQ(answers["200"] + answers["503"], 64);
    const TReply busy = Get(server.Port, "/");
    EXPECT_EQ(busy.Status, 503);
    EXPECT_EQ(busy.Header("retry-after"), "1");
    for (const int fd : holding)
        close(fd);
    int status = 0; // the workers see the clients go as soon as they next write
    for (int tries = 0; tries < 500 && status != 200; ++tries)
        if ((status = Get(server.Port, "/").Status) != 200)
            usleep(10000);
    EXPECT_EQ(status, 200);
}

TEST_F(Serve, APortInUseIsRefusedAndSigintStops) {
    std::string output;
    const int status = vt::platform::RunCommand(std::string(VT_HOST_PATH) + " serve --root " +
                                                    (dir / "page").string() + " --port " +
                                                    std::to_string(server.Port) + " 2>&1",
                                                &output);
    EXPECT_EQ(status, 2);
    EXPECT_NE(output.find("Address already in use"), std::string::npos) << output;

    // Stopping does not wait for a client that is still sending its request.
    TServer other = Start({"--root", (dir / "page").string()});
    EXPECT_EQ(Get(other.Port, "/app.wasm").Body, Wasm);
    const int stalled = Connect(other.Port, "GET / HTTP/1.1\r\n");
    EXPECT_EQ(Stop(other, SIGINT), 0);
    close(stalled);
}

} // namespace
