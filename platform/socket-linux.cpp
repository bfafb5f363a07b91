#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zelvo::platform {

namespace {

WaitResult waitFor(SocketHandle socket, short events, int timeoutMs, int& error) {
  pollfd p{socket, events, 0};
  int ready = ::poll(&p, 1, timeoutMs);
  if (ready < 0 && errno == EINTR) return WaitResult::Interrupted;
  if (ready < 0) {
    error = errno;
    return WaitResult::Failed;
  }
  return ready == 0 ? WaitResult::TimedOut : WaitResult::Ready;
}

bool address4(const std::string& address, int port, sockaddr_in& a) {
  a = sockaddr_in{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return ::inet_pton(AF_INET, address.c_str(), &a.sin_addr) == 1;
}

int boundPortOf(SocketHandle socket) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&a), &length) != 0) return -1;
  return ntohs(a.sin_port);
}

} // namespace

void InitSockets() {}

SocketHandle OpenSocket(int family, int type, int protocol, int& error) {
  SocketHandle s = ::socket(family, type | SOCK_CLOEXEC, protocol);
  error = s < 0 ? errno : 0;
  return s < 0 ? kNoSocket : s;
}

int CloseSocket(SocketHandle socket) {
  return ::close(socket);
}

void ShutdownSocket(SocketHandle socket) {
  ::shutdown(socket, SHUT_RDWR);
}

bool SetNonBlocking(SocketHandle socket, int& error) {
  int flags = ::fcntl(socket, F_GETFL, 0);
  if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = errno;
    return false;
  }
  return true;
}

ConnectStart StartConnect(SocketHandle socket, const void* address, std::size_t length, int& error) {
  if (::connect(socket, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length)) == 0)
    return ConnectStart::Connected;
  if (errno == EINPROGRESS) return ConnectStart::InProgress;
  error = errno;
  return ConnectStart::Failed;
}

WaitResult WaitWritable(SocketHandle socket, int timeoutMs, int& error) {
  return waitFor(socket, POLLOUT, timeoutMs, error);
}

WaitResult WaitReadable(SocketHandle socket, int timeoutMs, int& error) {
  return waitFor(socket, POLLIN, timeoutMs, error);
}

int PendingError(SocketHandle socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  return error;
}

int AddressPort(const void* address) {
  const auto* a = static_cast<const sockaddr*>(address);
  if (a->sa_family == AF_INET) return ntohs(static_cast<const sockaddr_in*>(address)->sin_port);
  if (a->sa_family == AF_INET6) return ntohs(static_cast<const sockaddr_in6*>(address)->sin6_port);
  return -1;
}

std::string SocketErrorText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

int TimedOutError() {
  return ETIMEDOUT;
}

int CancelledError() {
  return ECANCELED;
}

SocketHandle ListenTcp4(const std::string& address, int port, int backlog, int& boundPort) {
  int error = 0;
  SocketHandle s = OpenSocket(AF_INET, SOCK_STREAM, 0, error);
  if (s == kNoSocket) return s;
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a;
  if (!address4(address, port, a) || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(s, backlog) != 0 || (boundPort = boundPortOf(s)) < 0) {
    ::close(s);
    return kNoSocket;
  }
  return s;
}

SocketHandle ConnectTcp4(const std::string& address, int port) {
  int error = 0;
  SocketHandle s = OpenSocket(AF_INET, SOCK_STREAM, 0, error);
  if (s == kNoSocket) return s;
  sockaddr_in a;
  if (!address4(address, port, a) || ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return kNoSocket;
  }
  return s;
}

SocketHandle BindLoopbackTcp4(int& boundPort) {
  int error = 0;
  SocketHandle s = OpenSocket(AF_INET, SOCK_STREAM, 0, error);
  if (s == kNoSocket) return s;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (boundPort = boundPortOf(s)) < 0) {
    ::close(s);
    return kNoSocket;
  }
  return s;
}

SocketHandle Accept(SocketHandle listener) {
  SocketHandle s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  return s < 0 ? kNoSocket : s;
}

long Send(SocketHandle socket, const char* data, std::size_t size) {
  return ::send(socket, data, size, MSG_NOSIGNAL);
}

long Receive(SocketHandle socket, char* data, std::size_t size) {
  return ::recv(socket, data, size, 0);
}

void ResetOnClose(SocketHandle socket) {
  linger hard{1, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

} // namespace zelvo::platform
