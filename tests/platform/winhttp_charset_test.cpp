// The Windows request decodes a body itself, by the charset its Content-Type names.
#include "platform/winhttp.h"

#include <gtest/gtest.h>

namespace zelvo::platform {
namespace {

TEST(WinHttpCharset, TheHeadersCharsetOrTheProgramsCodePage) {
  EXPECT_EQ(CharsetCodePage("text/plain; charset=big5"), 950u);
  EXPECT_EQ(CharsetCodePage("text/plain; charset=\"CP950\""), 950u);
  EXPECT_EQ(CharsetCodePage("text/plain"), 950u); // none named
  EXPECT_EQ(CharsetCodePage(""), 950u);
  EXPECT_EQ(CharsetCodePage("text/plain; charset=x-no-such-charset"), 950u);
  EXPECT_EQ(CharsetCodePage("text/plain;charset=UTF-8"), 65001u);
  EXPECT_EQ(CharsetCodePage("text/html; charset=ISO-8859-1; format=flowed"), 28591u);
  // A parameter that only ends in "charset" names none.
  EXPECT_EQ(CharsetCodePage("text/plain; xcharset=utf-8"), 950u);
}

TEST(WinHttpCharset, TextsForTheProgramHoldQuestionMarksNotLookAlikes) {
  // The system's own conversion would write "-" and "e" for these; the header promises "?".
  EXPECT_EQ(Utf8ToAnsi("Wi\u2011Fi caf\u00E9 \u4E59"), "Wi?Fi caf? \xA4\x41");
  EXPECT_EQ(Utf8ToAnsi("bad \xC3 end"), "bad ? end");
}

} // namespace
} // namespace zelvo::platform
