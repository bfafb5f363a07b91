// Pieces of the Windows stand-ins that the system cannot be made to show on demand.

#include "platform/win32detail.h"

#include <windows.h>

#include <pdh.h>
#include <pdhmsg.h>

#include <gtest/gtest.h>

namespace zelvo::platform {
namespace {

TEST(PdhOnWindows, NewDataIsAValueAndEveryOtherStatusIsNot) {
  EXPECT_TRUE(PdhStatusHasValue(PDH_CSTATUS_VALID_DATA));
  EXPECT_TRUE(PdhStatusHasValue(PDH_CSTATUS_NEW_DATA));
  for (DWORD status : {PDH_CSTATUS_NO_MACHINE, PDH_CSTATUS_NO_INSTANCE, PDH_CSTATUS_INVALID_DATA,
                       PDH_CSTATUS_NO_COUNTER, PDH_CSTATUS_NO_OBJECT, PDH_CALC_NEGATIVE_VALUE})
    EXPECT_FALSE(PdhStatusHasValue(status)) << std::hex << status;
}

} // namespace
} // namespace zelvo::platform
