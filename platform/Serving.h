// Private to host/ (compiled into veltrane, not the library): what `veltrane serve` needs of the
// system. Connections read and written within time limits, many of them watched at once, the
// addresses of a socket and of the machine, and the signals that stop the server. POSIX only
// (the host runs on Linux).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace vt::platform {

using TDeadline = std::chrono::steady_clock::time_point;

// Only SO_REUSEADDR on a socket about to listen, so that a port in use stays refused.
void ReuseAddress(int socket);

// Lets up to Backlog connections wait on a listening socket for the server to take them.
void SetBacklog(int socket, int backlog);

// Makes Socket non-blocking; its reads and writes then wait through the functions below.
void MakeNonBlocking(int socket);

// Receives up to Size bytes into Data, waiting until Deadline at most. Returns the count, 0 at
// the end of the stream, -1 on an error and -2 when the deadline passed.
long ReceiveBefore(int socket, char* data, size_t size, TDeadline deadline);

// Receives up to Size bytes into Data without waiting. Returns the count, 0 at the end of the
// stream, -1 on an error and -2 when nothing has arrived.
long ReceiveNow(int socket, char* data, size_t size);

// Waits up to Milliseconds (-1: as long as it takes) for any of Sockets to have something to
// read, its end included; Ready[i] then says whether Sockets[i] has.
void WaitReadable(const std::vector<int>& sockets, int milliseconds,
                  std::vector<unsigned char>& ready);

// A descriptor that another thread makes readable, to end a WaitReadable early.
class TWakeUp {
public:
    TWakeUp();
    ~TWakeUp();
    TWakeUp(const TWakeUp&) = delete;
    TWakeUp& operator=(const TWakeUp&) = delete;

    int Descriptor() const { return Read; }
    void Signal();
    void Drain(); // readable no more until the next Signal

private:
    int Read = -1, Write = -1;
};

// Sends Data, waiting at most IdleMilliseconds each time for the peer to take more; false when
// it stops taking it or the connection fails.
bool SendAll(int socket, const char* data, size_t size, int idleMilliseconds);

// Whether Socket can take more within Milliseconds.
bool WaitWritable(int socket, int milliseconds);

// Cuts both directions of the connection short; the descriptor stays open.
void CutShort(int socket);

// Ends what this side sends; the peer's direction stays open.
void HalfClose(int socket);

void Close(int socket);

// The numeric address and the port a socket is bound to ("127.0.0.1", "[::1]"; an IPv4 address
// reached through an IPv6 socket as the IPv4 one), and whether it is a loopback address or
// every address of the machine. For a connection, the address the peer reached.
struct TBoundAddress {
    std::string Host = "?";
    int Port = 0;
    bool Loopback = false;
    bool Everywhere = false;
};
TBoundAddress BoundAddress(int socket);

// The numeric addresses of the machine's network interfaces that are up, as a URL writes them
// ("192.168.1.5", "[fd00::5]"), loopback ones first: the IPv4 ones, and the IPv6 ones too when
// Ipv6 is set, except link-local ones (a browser's address bar cannot name their interface).
struct TInterfaceAddress {
    std::string Host;
    bool Loopback = false;
};
std::vector<TInterfaceAddress> InterfaceAddresses(bool ipv6);

// Blocks SIGINT and SIGTERM in the calling thread, so that threads started afterwards inherit
// the mask and no handler ever runs; WaitForStopSignal then returns when one arrives.
void BlockStopSignals();
void WaitForStopSignal();
// Sends the process a stop signal, so that WaitForStopSignal returns.
void RaiseStopSignal();

} // namespace vt::platform
