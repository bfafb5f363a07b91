// The sockets stand-in on loopback. No system socket header: the same test runs on both systems.

#include "platform/socket.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace zelvo::platform;

namespace {

struct Closer {
  SocketHandle s;
  ~Closer() {
    if (s != kNoSocket) CloseSocket(s);
  }
};

} // namespace

// A non-blocking connect to a port nobody listens on ends with the system's refusal, not with a
// time-out or a success, and the error has a text.
TEST(Sockets, RefusedConnectEndsWithThePendingError) {
  int port = 0;
  Closer closed{BindLoopbackTcp4(port)};
  ASSERT_NE(closed.s, kNoSocket);
  int error = 0;
  // AF_INET and SOCK_STREAM are 2 and 1 on both systems; the address is a sockaddr_in's bytes.
  Closer probe{OpenSocket(2, 1, 0, error)};
  ASSERT_NE(probe.s, kNoSocket) << SocketErrorText(error);
  ASSERT_TRUE(SetNonBlocking(probe.s, error)) << SocketErrorText(error);
  alignas(8) unsigned char address[16] = {
      2, 0, static_cast<unsigned char>(port >> 8), static_cast<unsigned char>(port), 127, 0, 0, 1};
  EXPECT_EQ(AddressPort(address), port);
  ConnectStart start = StartConnect(probe.s, address, sizeof address, error);
  ASSERT_NE(start, ConnectStart::Connected);
  if (start == ConnectStart::InProgress) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    WaitResult ready = WaitResult::TimedOut;
    while (ready != WaitResult::Ready && std::chrono::steady_clock::now() < deadline)
      ready = WaitWritable(probe.s, 100, error);
    ASSERT_EQ(ready, WaitResult::Ready);
    error = PendingError(probe.s);
  }
  EXPECT_NE(error, 0);
  EXPECT_NE(error, TimedOutError());
  EXPECT_FALSE(SocketErrorText(error).empty());
}
