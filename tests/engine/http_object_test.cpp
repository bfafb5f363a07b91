// The libcurl request object against loopback servers that answer, stall or misbehave on purpose.

#include "platform/cp950.h"
#include "tests/engine/http_support.h"
#include "tests/support/netns.h"
#include "tests/support/support.h"

#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zelvo::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

std::string Response(const std::string& headers, const std::string& body) {
  return "HTTP/1.1 200 OK\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// A server that answers every request with the same bytes and keeps the last request head.
struct FixedServer {
  explicit FixedServer(std::string answer)
      : answer_(std::move(answer)), server([this](int fd) {
          std::string head = ReadRequestHead(fd);
          {
            std::lock_guard<std::mutex> lock(mutex);
            lastHead = head;
          }
          WriteAll(fd, answer_);
        }) {}
  std::string head() {
    std::lock_guard<std::mutex> lock(mutex);
    return lastHead;
  }
  std::string answer_;
  std::mutex mutex;
  std::string lastHead;
  RawServer server;
};

std::unique_ptr<platform::WinHttpRequest> Opened(const std::string& method, const std::string& url) {
  auto request = platform::CreateWinHttpRequest();
  EXPECT_TRUE(request);
  EXPECT_TRUE(request->SetTimeouts(3000, 5000, 5000, 5000));
  EXPECT_TRUE(request->Open(method, url, false));
  return request;
}

TEST(WinHttpObject, SendsHeadersAsGivenAndReadsTheFinalResponse) {
  FixedServer s(Response("Content-Type: text/plain; charset=UTF-8\r\nSet-Cookie: a=1; path=/\r\n"
                         "SET-COOKIE: b=2\r\nX-Empty:\r\n",
                         "中文 text"));
  auto request = Opened("POST", s.server.url("/zelvo/report"));
  EXPECT_TRUE(request->SetRequestHeader("Content-Type", "application/x-www-form-urlencoded"));
  EXPECT_TRUE(request->SetRequestHeader("Cookie", "ZelvoSID=abc   "));
  EXPECT_FALSE(request->GetResponseHeader("Set-Cookie")); // nothing has arrived yet
  ASSERT_TRUE(request->Send(std::string("code=0a1b")));
  EXPECT_EQ(request->Status(), 200);
  EXPECT_EQ(request->GetResponseHeader("set-cookie"), "a=1; path=/"); // the first one
  EXPECT_EQ(request->GetResponseHeader("X-Empty"), "");
  EXPECT_FALSE(request->GetResponseHeader("X-Missing"));
  EXPECT_EQ(request->ResponseText(), "中文 text");

  std::string head = s.head();
  EXPECT_EQ(head.rfind("POST /zelvo/report HTTP/1.1\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("\r\nCookie: ZelvoSID=abc   \r\n"), std::string::npos) << head; // spaces kept
  EXPECT_NE(head.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"), std::string::npos);
  EXPECT_EQ(head.find("Expect:"), std::string::npos);
}

// The body is decoded from the charset the Content-Type names; without one, or with one iconv does
// not know, it is CP950. Undecodable bytes never stop the decoding.
TEST(WinHttpObject, ResponseCharsets) {
  const std::string cp950 = *platform::Utf8ToCp950("測速服務");
  struct Case {
    std::string contentType, body, expected;
  } cases[] = {
      {"text/plain; charset=big5", cp950, "測速服務"},
      {"text/plain; charset=\"CP950\"", cp950, "測速服務"},
      {"text/plain", cp950, "測速服務"},
      {"text/plain; charset=x-no-such-charset", cp950, "測速服務"},
      {"text/html; charset=ISO-8859-1", "caf\xE9", "café"},
      {"text/plain;charset=utf-8", "ok\xFF\xFEok", "ok\xEF\xBF\xBD\xEF\xBF\xBDok"},
      {"text/plain; charset=big5", "\xA4", "\xEF\xBF\xBD"}, // a lead byte cut off at the end
  };
  for (const Case& c : cases) {
    FixedServer s(Response("Content-Type: " + c.contentType + "\r\n", c.body));
    auto request = Opened("GET", s.server.url("/x"));
    ASSERT_TRUE(request->Send(std::nullopt));
    EXPECT_EQ(request->ResponseText(), c.expected) << c.contentType;
  }
}

TEST(WinHttpObject, LargeAndGarbageBodies) {
  std::string megabyte;
  for (int i = 0; i < (1 << 20); ++i)
    megabyte.push_back(static_cast<char>('a' + i % 26));
  FixedServer big(Response("Content-Type: text/plain; charset=us-ascii\r\n", megabyte));
  auto request = Opened("GET", big.server.url("/big"));
  ASSERT_TRUE(request->Send(std::nullopt));
  EXPECT_EQ(request->ResponseText(), megabyte);

  std::string garbage;
  unsigned seed = 12345;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 1103515245 + 12345;
    garbage.push_back(static_cast<char>(seed >> 16));
  }
  FixedServer junk(Response("", garbage));
  auto junkRequest = Opened("GET", junk.server.url("/junk"));
  ASSERT_TRUE(junkRequest->Send(std::nullopt));
  std::optional<std::string> text = junkRequest->ResponseText();
  ASSERT_TRUE(text);
  EXPECT_TRUE(platform::ConvertCharset(*text, "UTF-8", "UTF-16LE")); // valid UTF-8 throughout

  // More than the object keeps is a failure, not a memory hog.
  FixedServer huge(Response("", std::string(platform::kMaxResponseBytes + 1, 'h')));
  auto hugeRequest = Opened("GET", huge.server.url("/huge"));
  EXPECT_FALSE(hugeRequest->Send(std::nullopt));
  EXPECT_EQ(hugeRequest->Status(), 0);
  EXPECT_FALSE(hugeRequest->ResponseText());
}

// The nameservers of /etc/resolv.conf when names are looked up in files and DNS only; empty otherwise.
std::vector<std::string> PlainDnsServers() {
  std::ifstream nsswitch("/etc/nsswitch.conf"), resolv("/etc/resolv.conf");
  std::string line, word;
  bool plain = false;
  while (std::getline(nsswitch, line)) {
    std::istringstream words(line);
    if (!(words >> word) || word != "hosts:") continue;
    plain = true;
    while (words >> word)
      plain = plain && (word == "files" || word == "dns");
  }
  std::vector<std::string> servers;
  while (plain && std::getline(resolv, line)) {
    std::istringstream words(line);
    std::string address;
    in_addr parsed{};
    if ((words >> word >> address) && word == "nameserver" &&
        inet_pton(AF_INET, address.c_str(), &parsed) == 1)
      servers.push_back(address);
  }
  return servers;
}

TEST(WinHttpObject, NamesAreResolvedWithinTheLimit) {
  FixedServer s(Response("", "by name"));
  auto request = Opened("GET", "http://localhost:" + std::to_string(s.server.port()) + "/");
  ASSERT_TRUE(request->Send(std::nullopt));
  EXPECT_EQ(request->ResponseText(), "by name");

  // A lookup that stalls: inside a namespace the nameservers are routed into a veth whose peer drops
  // everything, so the resolver waits for its own time-outs (seconds) unless the limit ends it.
  if (!isRoot()) GTEST_SKIP() << "needs root for network namespaces";
  std::vector<std::string> servers = PlainDnsServers();
  if (servers.empty()) GTEST_SKIP() << "names are not looked up by plain DNS here";
  NetNamespace ns("resolve");
  ASSERT_TRUE(ns.ok());
  std::string command = "ip link add va type veth peer name vb && ip link set va up && ip link set vb up && "
                        "ip addr add 192.0.2.1/24 dev va && "
                        "ip neigh add 192.0.2.7 lladdr 02:00:00:00:00:07 dev va nud permanent";
  for (const auto& server : servers)
    command += " && ip route add " + server + "/32 via 192.0.2.7";
  ASSERT_EQ(ns.run(command), 0);
  std::thread worker([&] {
    ASSERT_TRUE(ns.enter());
    auto stalled = platform::CreateWinHttpRequest();
    ASSERT_TRUE(stalled->SetTimeouts(500, 60000, 60000, 60000));
    ASSERT_TRUE(stalled->Open("GET", "http://zelvo-stalled-lookup.invalid/", false));
    auto start = steady_clock::now();
    EXPECT_FALSE(stalled->Send(std::nullopt));
    auto took = steady_clock::now() - start;
    EXPECT_GE(took, milliseconds(450));
    EXPECT_LT(took, milliseconds(2500)); // the resolver's own time-out is 5 s
  });
  worker.join();
}

TEST(WinHttpObject, RejectsWhatThePlatformObjectRejects) {
  auto request = platform::CreateWinHttpRequest();
  ASSERT_TRUE(request);
  EXPECT_FALSE(request->SetTimeouts(-2, 1, 1, 1));
  EXPECT_TRUE(request->SetTimeouts(0, -1, 0, -1));          // no limits
  EXPECT_FALSE(request->SetRequestHeader("Cookie", "a=b")); // not opened
  EXPECT_FALSE(request->Send(std::nullopt));
  EXPECT_FALSE(request->Open("GET", "http://127.0.0.1:9/", true)); // asynchronous
  EXPECT_FALSE(request->Open("GET", "ftp://127.0.0.1/x", false));
  EXPECT_FALSE(request->Open("GET", "not an address", false));
  EXPECT_FALSE(request->Open("DELETE", "http://127.0.0.1:9/", false));
  ASSERT_TRUE(request->Open("get", "http://127.0.0.1:9/", false));
  EXPECT_FALSE(request->SetRequestHeader("Cookie", "a=b\r\nX-Injected: 1"));
  EXPECT_FALSE(request->SetRequestHeader("Bad:Name", "v"));
}

// Each limit ends its own kind of stall: the others are far longer, so a request that ends well
// before them was ended by the limit under test, and none hangs.
class WinHttpLimits : public ::testing::Test {
protected:
  // Sends and returns whether it failed before the deadline (the other limits are 60 s).
  static bool FailsBefore(platform::WinHttpRequest& request, std::optional<std::string> body,
                          std::chrono::seconds deadline) {
    auto start = steady_clock::now();
    bool sent = request.Send(body);
    return !sent && steady_clock::now() - start < deadline;
  }
};

TEST_F(WinHttpLimits, ServerThatNeverAnswersFailsOnTheReceiveLimit) {
  std::atomic<bool> release{false};
  RawServer silent([&](int fd) {
    ReadRequestHead(fd);
    waitFor([&] { return release.load(); }, seconds(30));
    (void)fd;
  });
  auto request = platform::CreateWinHttpRequest();
  ASSERT_TRUE(request->SetTimeouts(3000, 60000, 60000, 800));
  ASSERT_TRUE(request->Open("GET", silent.url("/zelvo/service.txt"), false));
  EXPECT_TRUE(FailsBefore(*request, std::nullopt, seconds(20)));
  EXPECT_EQ(silent.accepted(), 1);
  release = true;
}

TEST_F(WinHttpLimits, ConnectThatNeverCompletesFailsOnTheConnectLimit) {
  RawServer full(nullptr, 0); // accepts nothing; its one-place queue is filled below
  int filler = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(full.port()));
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  auto request = platform::CreateWinHttpRequest();
  ASSERT_TRUE(request->SetTimeouts(3000, 800, 60000, 60000));
  ASSERT_TRUE(request->Open("GET", full.url("/"), false));
  EXPECT_TRUE(FailsBefore(*request, std::nullopt, seconds(20)));
  ::close(filler);
}

TEST_F(WinHttpLimits, UploadThatStallsFailsOnTheSendLimit) {
  std::atomic<bool> release{false};
  RawServer deaf([&](int fd) {
    ReadRequestHead(fd); // then reads nothing more: the body backs up
    waitFor([&] { return release.load(); }, seconds(30));
  });
  auto request = platform::CreateWinHttpRequest();
  ASSERT_TRUE(request->SetTimeouts(3000, 60000, 800, 60000));
  ASSERT_TRUE(request->Open("POST", deaf.url("/zelvo/report"), false));
  EXPECT_TRUE(FailsBefore(*request, std::string(64u << 20, 'c'), seconds(20)));
  release = true;
}

// The receive limit bounds each wait for data, not the whole answer.
TEST_F(WinHttpLimits, SlowButSteadyAnswerIsNotCut) {
  RawServer trickle([](int fd) {
    ReadRequestHead(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\n");
    for (char c : std::string("steady")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      WriteAll(fd, std::string(1, c));
    }
  });
  auto request = platform::CreateWinHttpRequest();
  ASSERT_TRUE(request->SetTimeouts(3000, 5000, 5000, 1000));
  ASSERT_TRUE(request->Open("GET", trickle.url("/"), false));
  ASSERT_TRUE(request->Send(std::nullopt));
  EXPECT_EQ(request->ResponseText(), "steady");
}

// A cancelled request ends at once, in any stall, instead of sitting out a 60 s limit.
TEST_F(WinHttpLimits, CancelledRequestEndsWithoutWaitingForItsLimits) {
  std::atomic<bool> release{false};
  RawServer silent([&](int fd) {
    ReadRequestHead(fd);
    waitFor([&] { return release.load(); }, seconds(30));
  });
  auto request = platform::CreateWinHttpRequest();
  ASSERT_TRUE(request->SetTimeouts(60000, 60000, 60000, 60000));
  ASSERT_TRUE(request->Open("GET", silent.url("/zelvo/service.txt"), false));
  auto cancelAt = steady_clock::now() + std::chrono::milliseconds(300);
  request->SetCancelCheck([&] { return steady_clock::now() >= cancelAt; });
  EXPECT_TRUE(FailsBefore(*request, std::nullopt, seconds(5)));
  EXPECT_EQ(silent.accepted(), 1);
  release = true;
}

TEST_F(WinHttpLimits, DroppedConnectionIsAFailure) {
  RawServer rude([](int fd) { ReadRequestHead(fd); });
  auto request = platform::CreateWinHttpRequest();
  ASSERT_TRUE(request->SetTimeouts(3000, 5000, 5000, 5000));
  ASSERT_TRUE(request->Open("GET", rude.url("/"), false));
  EXPECT_FALSE(request->Send(std::nullopt));
  EXPECT_EQ(request->Status(), 0);
}

} // namespace
} // namespace zelvo::test
