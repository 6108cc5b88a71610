// Sockets with time limits and the stop signals, for `veltrane serve`.
#include "platform/Serving.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace vt::platform {

namespace {

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

int MillisecondsUntil(TDeadline deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void ReuseAddress(int socket) {
    const int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void SetBacklog(int socket, int backlog) {
    listen(socket, backlog);
}

void MakeNonBlocking(int socket) {
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
}

long ReceiveBefore(int socket, char* data, size_t size, TDeadline deadline) {
    for (;;) {
        const int wait = MillisecondsUntil(deadline);
        if (wait == 0 || !WaitFor(socket, POLLIN, wait))
            return std::chrono::steady_clock::now() >= deadline ? -2 : -1;
        const ssize_t got = recv(socket, data, size, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        return got;
    }
}

bool SendAll(int socket, const char* data, size_t size, int idleMilliseconds) {
    while (size > 0) {
        if (!WaitFor(socket, POLLOUT, idleMilliseconds))
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

bool WaitWritable(int socket, int milliseconds) {
    return WaitFor(socket, POLLOUT, milliseconds);
}

void CutShort(int socket) {
    shutdown(socket, SHUT_RDWR);
}

void Linger(int socket, int milliseconds) {
    shutdown(socket, SHUT_WR);
    const TDeadline deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    char buffer[4096];
    for (size_t drained = 0; drained < (1u << 20);) {
        const long got = ReceiveBefore(socket, buffer, sizeof buffer, deadline);
        if (got <= 0)
            break;
        drained += static_cast<size_t>(got);
    }
}

void Close(int socket) {
    close(socket);
}

TBoundAddress BoundAddress(int socket) {
    TBoundAddress bound;
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        getnameinfo(reinterpret_cast<const sockaddr*>(&address), size, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return bound;
    bound.Port = std::atoi(port);
    bound.Host = host;
    if (address.ss_family == AF_INET) {
        const in_addr_t v4 = ntohl(reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr);
        bound.Loopback = (v4 >> 24) == 127;
        bound.Everywhere = v4 == INADDR_ANY;
    } else if (address.ss_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
        bound.Loopback =
            IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
        bound.Everywhere = IN6_IS_ADDR_UNSPECIFIED(&v6);
        bound.Host = "[" + bound.Host + "]";
    }
    return bound;
}

void BlockStopSignals() {
    const sigset_t stop = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

void WaitForStopSignal() {
    const sigset_t stop = StopSignals();
    int signal = 0;
    while (sigwait(&stop, &signal) != 0) {
    }
}

void RaiseStopSignal() {
    kill(getpid(), SIGTERM);
}

} // namespace vt::platform
