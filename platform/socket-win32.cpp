#include "platform/socket.h"

#include <algorithm>
#include <climits>
#include <mutex>
#include <type_traits>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace zelvo::platform {

static_assert(std::is_same_v<SocketHandle, SOCKET>, "SocketHandle must be Winsock's SOCKET");

namespace {

int lastError() {
  return ::WSAGetLastError();
}

// select rather than WSAPoll: WSAPoll does not report a refused non-blocking connect on older
// Windows versions; select names it in the exception set.
WaitResult waitFor(SocketHandle socket, bool write, int timeoutMs, int& error) {
  fd_set wanted, failed;
  FD_ZERO(&wanted);
  FD_ZERO(&failed);
  FD_SET(socket, &wanted);
  FD_SET(socket, &failed);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int ready = ::select(0, write ? nullptr : &wanted, write ? &wanted : nullptr, &failed, &limit);
  if (ready == SOCKET_ERROR) {
    error = lastError();
    return error == WSAEINTR ? WaitResult::Interrupted : WaitResult::Failed;
  }
  return ready == 0 ? WaitResult::TimedOut : WaitResult::Ready;
}

bool address4(const std::string& address, int port, sockaddr_in& a) {
  a = sockaddr_in{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  return ::inet_pton(AF_INET, address.c_str(), &a.sin_addr) == 1;
}

int boundPortOf(SocketHandle socket) {
  sockaddr_in a{};
  int length = sizeof a;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&a), &length) != 0) return -1;
  return ntohs(a.sin_port);
}

} // namespace

void InitSockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data); // never cleaned up: sockets live until the process ends
  });
}

SocketHandle OpenSocket(int family, int type, int protocol, int& error) {
  InitSockets();
  SOCKET s =
      ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  // Systems before Windows 7 SP1 refuse the inheritance flag.
  if (s == INVALID_SOCKET && lastError() == WSAEINVAL)
    s = ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
  error = s == INVALID_SOCKET ? lastError() : 0;
  return s;
}

int CloseSocket(SocketHandle socket) {
  return ::closesocket(socket);
}

void ShutdownSocket(SocketHandle socket) {
  ::shutdown(socket, SD_BOTH);
}

bool SetNonBlocking(SocketHandle socket, int& error) {
  u_long on = 1;
  if (::ioctlsocket(socket, FIONBIO, &on) != 0) {
    error = lastError();
    return false;
  }
  return true;
}

ConnectStart StartConnect(SocketHandle socket, const void* address, std::size_t length, int& error) {
  if (::connect(socket, static_cast<const sockaddr*>(address), static_cast<int>(length)) == 0)
    return ConnectStart::Connected;
  int code = lastError();
  // Winsock reports a non-blocking connect under way as "would block".
  if (code == WSAEWOULDBLOCK || code == WSAEINPROGRESS) return ConnectStart::InProgress;
  error = code;
  return ConnectStart::Failed;
}

WaitResult WaitWritable(SocketHandle socket, int timeoutMs, int& error) {
  return waitFor(socket, true, timeoutMs, error);
}

WaitResult WaitReadable(SocketHandle socket, int timeoutMs, int& error) {
  return waitFor(socket, false, timeoutMs, error);
}

int PendingError(SocketHandle socket) {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
    error = lastError();
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
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text.empty() ? "Socket error " + std::to_string(error) : text;
}

int TimedOutError() {
  return WSAETIMEDOUT;
}

int CancelledError() {
  return WSAECANCELLED;
}

SocketHandle ListenTcp4(const std::string& address, int port, int backlog, int& boundPort) {
  int error = 0;
  SocketHandle s = OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, error);
  if (s == kNoSocket) return s;
  sockaddr_in a;
  if (!address4(address, port, a) || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(s, backlog) != 0 || (boundPort = boundPortOf(s)) < 0) {
    ::closesocket(s);
    return kNoSocket;
  }
  return s;
}

SocketHandle ConnectTcp4(const std::string& address, int port) {
  int error = 0;
  SocketHandle s = OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, error);
  if (s == kNoSocket) return s;
  sockaddr_in a;
  if (!address4(address, port, a) || ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::closesocket(s);
    return kNoSocket;
  }
  return s;
}

SocketHandle BindLoopbackTcp4(int& boundPort) {
  int error = 0;
  SocketHandle s = OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, error);
  if (s == kNoSocket) return s;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (boundPort = boundPortOf(s)) < 0) {
    ::closesocket(s);
    return kNoSocket;
  }
  return s;
}

SocketHandle Accept(SocketHandle listener) {
  return ::accept(listener, nullptr, nullptr);
}

long Send(SocketHandle socket, const char* data, std::size_t size) {
  int n = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
  return ::send(socket, data, n, 0);
}

long Receive(SocketHandle socket, char* data, std::size_t size) {
  int n = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
  return ::recv(socket, data, n, 0);
}

void ResetOnClose(SocketHandle socket) {
  linger hard{1, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
}

} // namespace zelvo::platform
