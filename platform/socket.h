#pragma once
// Sockets stand-in: the calls the FTP worker makes beside libcurl (its own bounded connect, shutdowns)
// and the plain loopback TCP the tests' servers need. BSD sockets on Linux, Winsock 2 on Windows.
// Error numbers are the system's own (errno values, or WSA codes on Windows).

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelvo::platform {

#ifdef _WIN32
using SocketHandle = std::uintptr_t; // Winsock's SOCKET, as libcurl's curl_socket_t
inline constexpr SocketHandle kNoSocket = ~SocketHandle{0};
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
#endif

// Starts the socket library once per process (Winsock's WSAStartup); any thread, any number of times.
void InitSockets();

// A socket that child processes do not inherit; kNoSocket and error set on failure.
SocketHandle OpenSocket(int family, int type, int protocol, int& error);
int CloseSocket(SocketHandle socket);
// Ends both directions; the handle stays open.
void ShutdownSocket(SocketHandle socket);
bool SetNonBlocking(SocketHandle socket, int& error);

enum class ConnectStart { Connected, InProgress, Failed };
// connect() on a non-blocking socket: done at once, under way, or failed with error set.
ConnectStart StartConnect(SocketHandle socket, const void* address, std::size_t length, int& error);

enum class WaitResult { Ready, TimedOut, Interrupted, Failed };
// Waits until the socket can be written (a connect finished, either way) or read.
WaitResult WaitWritable(SocketHandle socket, int timeoutMs, int& error);
WaitResult WaitReadable(SocketHandle socket, int timeoutMs, int& error);
// The socket's pending error (a finished connect's outcome); 0 when there is none.
int PendingError(SocketHandle socket);

// The port of an IPv4 or IPv6 socket address; -1 for any other family.
int AddressPort(const void* address);

// The system's text of an error number.
std::string SocketErrorText(int error);
// The error numbers of a connect that ran out of time and of one given up on request.
int TimedOutError();
int CancelledError();

// ---- plain TCP over IPv4, for loopback servers and probes

// Bound to address:port (0: a free port) and listening; boundPort receives the port.
SocketHandle ListenTcp4(const std::string& address, int port, int backlog, int& boundPort);
// A blocking connect; kNoSocket when it fails.
SocketHandle ConnectTcp4(const std::string& address, int port);
// A socket bound to a free loopback port that does not listen (a connect to it is refused).
SocketHandle BindLoopbackTcp4(int& boundPort);
SocketHandle Accept(SocketHandle listener);
// Bytes moved, 0 at the peer's end, negative on failure; a send never raises a signal.
long Send(SocketHandle socket, const char* data, std::size_t size);
long Receive(SocketHandle socket, char* data, std::size_t size);
// Makes a later close reset the connection instead of ending it in order.
void ResetOnClose(SocketHandle socket);

} // namespace zelvo::platform
