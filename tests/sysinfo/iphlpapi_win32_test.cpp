// The adapter list's lease times as the Windows build reads them from the system's structure.

#include "platform/win32detail.h"
#include "sysinfo/iphlpapi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace zelvo {
namespace {

TEST(AdapterLeasesOnWindows, ReadAtTheSystemsLayoutAndWrittenInLocalTime) {
  // What iphlpapi.dll writes: 32-bit times at 632 on 32-bit Windows, 64-bit times at 688 on 64-bit.
  std::vector<unsigned char> native(platform::kNativeAdapterInfoSize + 64, 0xEE);
  const std::int64_t obtained = 1700000000, expires = 1700086400;
  unsigned char* at = native.data() + platform::kNativeLeaseObtainedOffset;
  if (sizeof(void*) == 4) {
    std::int32_t o = static_cast<std::int32_t>(obtained), e = static_cast<std::int32_t>(expires);
    std::memcpy(at, &o, 4);
    std::memcpy(at + 4, &e, 4);
  } else {
    std::memcpy(at, &obtained, 8);
    std::memcpy(at + 8, &expires, 8);
  }
  platform::AdapterLeaseTimes lease = platform::LeaseTimesOf(native.data());
  EXPECT_EQ(lease.obtained, obtained);
  EXPECT_EQ(lease.expires, expires);

  ::_putenv_s("TZ", "UTC0");
  ::_tzset();
  EXPECT_EQ(LeaseTimeText(static_cast<std::time_t>(lease.obtained)), "Tue Nov 14 22:13:20 2023\n");
  EXPECT_EQ(LeaseTimeText(static_cast<std::time_t>(lease.expires)), "Wed Nov 15 22:13:20 2023\n");
  ::_putenv_s("TZ", "CST-8"); // Taipei
  ::_tzset();
  EXPECT_EQ(LeaseTimeText(static_cast<std::time_t>(lease.obtained)), "Wed Nov 15 06:13:20 2023\n");
  ::_putenv_s("TZ", "");
  ::_tzset();
}

} // namespace
} // namespace zelvo
