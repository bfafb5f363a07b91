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

TEST(ChildOutput, BothStreamsOfAProgramThatEnds) {
  std::optional<std::string> text = RunForOutput("cmd /c echo seen& echo noted 1>&2", 20000);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("seen"), std::string::npos) << *text;
  EXPECT_NE(text->find("noted"), std::string::npos) << *text;
}

TEST(ChildOutput, AProgramThatNeverEndsIsEndedAtTheTimeLimit) {
  // A command interpreter reads its commands from its input, which this test holds open.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  Handle input(readEnd), held(writeEnd);
  ::SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
  const ULONGLONG started = ::GetTickCount64();
  EXPECT_FALSE(RunForOutput("cmd", 1500, readEnd));
  const ULONGLONG waited = ::GetTickCount64() - started;
  EXPECT_GE(waited, 1500u);
  EXPECT_LT(waited, 15000u);
}

} // namespace
} // namespace zelvo::platform
