// Private to host/ (compiled into veltrane, not the library): what `veltrane serve` needs of the
// system. A connection read and written within time limits, the address a listening socket is
// bound to, and the signals that stop the server. POSIX only (the host runs on Linux).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

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

// Sends Data, waiting at most IdleMilliseconds each time for the peer to take more; false when
// it stops taking it or the connection fails.
bool SendAll(int socket, const char* data, size_t size, int idleMilliseconds);

// Whether Socket can take more within Milliseconds.
bool WaitWritable(int socket, int milliseconds);

// Cuts both directions of the connection short; the descriptor stays open.
void CutShort(int socket);

// Half-closes the connection and reads for up to Milliseconds what the peer still sends (a
// refused body: closing with it unread would reset the connection, and the peer could lose
// the response before reading it).
void Linger(int socket, int milliseconds);

void Close(int socket);

// The numeric address and the port a socket is bound to ("127.0.0.1", "[::1]"), and whether
// it is a loopback address or every address of the machine.
struct TBoundAddress {
    std::string Host = "?";
    int Port = 0;
    bool Loopback = false;
    bool Everywhere = false;
};
TBoundAddress BoundAddress(int socket);

// Blocks SIGINT and SIGTERM in the calling thread, so that threads started afterwards inherit
// the mask and no handler ever runs; WaitForStopSignal then returns when one arrives.
void BlockStopSignals();
void WaitForStopSignal();
// Sends the process a stop signal, so that WaitForStopSignal returns.
void RaiseStopSignal();

} // namespace vt::platform
