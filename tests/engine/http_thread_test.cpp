// Progress notices: one GET each on a self-freeing thread, nothing at all without a cookie.

#include "engine/httpthread.h"
#include "tests/engine/http_support.h"

#include <gtest/gtest.h>

namespace zelvo::test {
namespace {

using std::chrono::seconds;

TEST(NoticeThread, UsesItsOwnTimeoutsAndOneMoreSpace) {
  RequestScript script;
  auto notice = std::make_shared<CHttpThread>("ZelvoSID=abcdefghij  ", "http://127.0.0.1:9/zelvo/notice",
                                              [&] { return script.create(); });
  notice->Resume();
  ASSERT_TRUE(notice->WaitFor(10000));
  auto calls = script.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(*calls[0].timeouts, (std::vector<int>{3000, 10000, 3000, 3000}));
  EXPECT_EQ(calls[0].method, "GET");
  EXPECT_EQ(calls[0].url, "http://127.0.0.1:9/zelvo/notice");
  ASSERT_EQ(calls[0].headers.size(), 1u);
  EXPECT_EQ(calls[0].headers[0], (std::pair<std::string, std::string>("Cookie", "ZelvoSID=abcdefghij   ")));
  EXPECT_TRUE(calls[0].sent);
  EXPECT_FALSE(calls[0].body);
}

TEST(NoticeThread, EmptyCookieSendsNothing) {
  RequestScript script;
  RawServer listener([](platform::SocketHandle fd) { ReadRequestHead(fd); });
  auto scripted =
      std::make_shared<CHttpThread>("", listener.url("/zelvo/notice"), [&] { return script.create(); });
  scripted->Resume();
  auto real = std::make_shared<CHttpThread>("", listener.url("/zelvo/notice"));
  real->Resume();
  ASSERT_TRUE(scripted->WaitFor(10000));
  ASSERT_TRUE(real->WaitFor(10000));
  ASSERT_EQ(script.calls().size(), 1u);
  EXPECT_FALSE(script.calls()[0].sent);
  EXPECT_TRUE(script.calls()[0].headers.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(listener.accepted(), 0); // not even a connection
}

TEST(NoticeThread, FailedSetupEndsQuietly) {
  RequestScript script;
  ScriptedCall badOpen;
  badOpen.openResult = false;
  script.push(badOpen);
  ScriptedCall badHeader;
  badHeader.headerResult = false;
  script.push(badHeader);
  for (int i = 0; i < 2; ++i) {
    auto notice =
        std::make_shared<CHttpThread>("ZelvoSID=v", "http://127.0.0.1:9/n", [&] { return script.create(); });
    notice->Resume();
    ASSERT_TRUE(notice->WaitFor(10000));
  }
  for (const auto& call : script.calls())
    EXPECT_FALSE(call.sent);
  auto none = std::make_shared<CHttpThread>("ZelvoSID=v", "http://127.0.0.1:9/n",
                                            [] { return std::unique_ptr<platform::WinHttpRequest>(); });
  none->Resume();
  EXPECT_TRUE(none->WaitFor(10000));
}

} // namespace
} // namespace zelvo::test
