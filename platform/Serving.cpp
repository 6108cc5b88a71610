// Sockets with time limits and the stop signals, for `veltrane serve`.
#include "platform/Serving.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
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
#include <stdexcept>

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

long ReceiveNow(int socket, char* data, size_t size) {
    for (;;) {
        const ssize_t got = recv(socket, data, size, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return -2;
        return got;
    }
}

void WaitReadable(const std::vector<int>& sockets, int milliseconds,
                  std::vector<unsigned char>& ready) {
    std::vector<pollfd> polled(sockets.size());
    for (size_t i = 0; i < sockets.size(); ++i)
        polled[i] = {sockets[i], POLLIN, 0};
    ready.assign(sockets.size(), 0);
    if (poll(polled.data(), polled.size(), milliseconds) <= 0)
        return; // a timeout, or a signal: the caller looks again
    for (size_t i = 0; i < sockets.size(); ++i)
        ready[i] = (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

TWakeUp::TWakeUp() {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("serve: cannot make a pipe");
    Read = ends[0];
    Write = ends[1];
}

TWakeUp::~TWakeUp() {
    close(Read);
    close(Write);
}

void TWakeUp::Signal() {
    const char one = 1;
    while (write(Write, &one, 1) < 0 && errno == EINTR) {
    } // a full pipe is readable already
}

void TWakeUp::Drain() {
    char buffer[256];
    while (read(Read, buffer, sizeof buffer) > 0) {
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

void HalfClose(int socket) {
    shutdown(socket, SHUT_WR);
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
        if (IN6_IS_ADDR_V4MAPPED(&v6))
            bound.Host.erase(0, bound.Host.rfind(':') + 1);
        else
            bound.Host = "[" + bound.Host + "]";
    }
    return bound;
}

std::vector<TInterfaceAddress> InterfaceAddresses(bool ipv6) {
    std::vector<TInterfaceAddress> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        const sockaddr* address = i->ifa_addr;
        if (address == nullptr || (i->ifa_flags & IFF_UP) == 0)
            continue;
        TInterfaceAddress entry;
        socklen_t size = 0;
        if (address->sa_family == AF_INET) {
            size = sizeof(sockaddr_in);
            const in_addr_t v4 =
                ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
            entry.Loopback = (v4 >> 24) == 127;
        } else if (address->sa_family == AF_INET6 && ipv6) {
            size = sizeof(sockaddr_in6);
            const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
            if (IN6_IS_ADDR_LINKLOCAL(&v6))
                continue;
            entry.Loopback = IN6_IS_ADDR_LOOPBACK(&v6);
        } else {
            continue;
        }
        char host[NI_MAXHOST];
        if (getnameinfo(address, size, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        entry.Host = address->sa_family == AF_INET6 ? "[" + std::string(host) + "]" : host;
        if (std::none_of(found.begin(), found.end(),
                         [&](const TInterfaceAddress& f) { return f.Host == entry.Host; }))
            found.push_back(entry);
    }
    freeifaddrs(list);
    std::stable_partition(found.begin(), found.end(),
                          [](const TInterfaceAddress& f) { return f.Loopback; });
    return found;
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
