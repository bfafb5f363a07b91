// The one IPv4 address reading that the prober and the route lookup share, on every platform.

#include "platform/ipv4.h"

#include <gtest/gtest.h>

namespace zelvo::platform {
namespace {

TEST(Ipv4Address, WholeTextOfFourDecimalParts) {
  EXPECT_EQ(InetAddr("127.0.0.1"), 0x0100007Fu); // network order
  EXPECT_EQ(InetAddr("0.0.0.0"), 0u);
  // An embedded zero byte: the text after it must not be ignored.
  EXPECT_EQ(InetAddr(std::string("10.0.0.1\0junk", 13)), std::nullopt);
  EXPECT_EQ(InetAddr(std::string("10.0.0.1\0", 9)), std::nullopt);
  for (const char* bad : {"", "127.1", "1.2.3.256", " 1.2.3.4", "0x7f.0.0.1", "255.255.255.255"})
    EXPECT_EQ(InetAddr(bad), std::nullopt) << bad;
}

} // namespace
} // namespace zelvo::platform
