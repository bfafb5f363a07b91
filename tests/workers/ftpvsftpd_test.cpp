// Sessions against a real vsftpd in a network namespace of the test's own (root only).

#include "tests/support/ftpserver.h"
#include "tests/support/support.h"
#include "tests/workers/ftprecorder.h"
#include "workers/ftpthread.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using zelvo::CFTPSession;
using zelvo::ftpCounters;
using zelvo::WorkMode;
using zelvo::test::interfaceBytes;
using zelvo::test::NetNamespace;
using zelvo::test::prepare;
using zelvo::test::SessionRecorder;
using zelvo::test::VsftpdServer;
using zelvo::test::waitFor;

namespace {

// One namespace with vsftpd on 127.0.0.1:21; the test's thread enters it, so the sessions and their
// workers open their sockets there.
class FtpVsftpd : public ::testing::Test {
protected:
  void start(VsftpdServer::Options options, const std::string& rate = "") {
    if (!zelvo::test::isRoot()) {
      GTEST_SKIP() << "needs root for network namespaces";
    }
    ns_ = std::make_unique<NetNamespace>("ftp");
    ASSERT_TRUE(ns_->ok());
    if (!rate.empty()) {
      ASSERT_TRUE(zelvo::test::shape(*ns_, "lo", rate));
    }
    server_ = std::make_unique<VsftpdServer>(*ns_, options);
    ASSERT_TRUE(server_->ok()) << "vsftpd did not start";
    entry_ = std::make_unique<zelvo::test::NamespaceEntry>(*ns_);
    ASSERT_TRUE(entry_->ok());
  }
  void TearDown() override { entry_.reset(); }
  void connect(CFTPSession& s, const std::string& name) {
    prepare(s, name, server_->host(), server_->port());
    ASSERT_TRUE(s.Connect()) << name;
    ASSERT_TRUE(s.Connected()) << name;
  }

  std::unique_ptr<NetNamespace> ns_;
  std::unique_ptr<VsftpdServer> server_;
  std::unique_ptr<zelvo::test::NamespaceEntry> entry_;
};

VsftpdServer::Options files(std::vector<std::pair<std::string, std::uint64_t>> list) {
  VsftpdServer::Options o;
  o.files = std::move(list);
  return o;
}

} // namespace

TEST_F(FtpVsftpd, ThreeDownloadsAreCountedOnceAndReportedBySecondByTheLead) {
  constexpr std::int64_t size = 8 << 20;
  start(files({{"test.bin", size}}), "80mbit");
  if (IsSkipped()) return;
  CFTPSession s4, s5, s6;
  SessionRecorder rec;
  for (auto* s : {&s4, &s5, &s6})
    rec.attach(*s);
  connect(s5, "FTP5");
  connect(s6, "FTP6");
  connect(s4, "FTP4");
  auto before = interfaceBytes("lo");
  ASSERT_TRUE(before);
  // The lead starts last, as its work begin resets the phase.
  for (auto* s : {&s5, &s6, &s4}) {
    s->SetDownloadFile("test.bin");
    s->StartDownload();
    ASSERT_TRUE(s->Running());
  }
  ASSERT_TRUE(waitFor([&] { return !s4.WorkerActive() && !s5.WorkerActive() && !s6.WorkerActive(); }, 20s));
  auto after = interfaceBytes("lo");
  ASSERT_TRUE(after);

  std::int64_t received = s4.TransferredBytes() + s5.TransferredBytes() + s6.TransferredBytes();
  EXPECT_EQ(received, 3 * size);
  std::int64_t total = ftpCounters().TotalBytes;
  EXPECT_LE(total, received);
  // Only bytes that arrived before the lead's work begin may be left out (a few round trips).
  EXPECT_GE(total, received * 3 / 4);
  // The interface saw the same bytes plus protocol overhead.
  std::uint64_t wire = after->rx - before->rx;
  EXPECT_GE(wire, static_cast<std::uint64_t>(received));
  EXPECT_LE(wire, static_cast<std::uint64_t>(received) * 105 / 100 + (256 << 10));

  auto reports = rec.reports();
  ASSERT_GE(reports.size(), 1u);
  auto begin = rec.firstWorkBegin("FTP4");
  ASSERT_TRUE(begin);
  // The recorder stamps both events a few microseconds after the session's own clock did.
  EXPECT_GE(reports[0].at - *begin, 999ms);
  EXPECT_GE(reports[0].elapsedMs, 1000);
  for (std::size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].sender, "FTP4");
    EXPECT_EQ(reports[i].mode, WorkMode::Read);
    EXPECT_LE(reports[i].total, total);
    if (i == 0) continue;
    std::int64_t dt = reports[i].elapsedMs - reports[i - 1].elapsedMs;
    EXPECT_GE(dt, 1000);
    // The rate is that of the last interval, not an average since the start.
    double expected = static_cast<double>(reports[i].total - reports[i - 1].total) * 8000.0 / dt;
    EXPECT_NEAR(reports[i].bitsPerSecond, expected, expected * 0.01 + 1);
  }
  // Each session logged its own work begin once.
  EXPECT_EQ(rec.workBeginsOf("FTP5"), 1u);
  EXPECT_EQ(rec.workBeginsOf("FTP6"), 1u);
}

TEST_F(FtpVsftpd, UploadsCarryOnlyAsterisksUntilAbortAndThenCompleteTheStor) {
  start(files({{"test.bin", 1 << 20}}), "100mbit");
  if (IsSkipped()) return;
  CFTPSession s1, s2;
  SessionRecorder rec;
  rec.attach(s1);
  rec.attach(s2);
  connect(s1, "FTP1");
  connect(s2, "FTP2");
  EXPECT_FALSE(s1.ChangeDir("no-such-dir"));
  ASSERT_TRUE(s1.ChangeDir("uploads"));
  ASSERT_TRUE(s2.ChangeDir("uploads"));
  s1.SetUploadFile("20261208010203004.txt1");
  s2.SetUploadFile("20261208010203004.txt2");
  s1.StartUpload();
  s2.StartUpload();
  ASSERT_TRUE(waitFor([&] { return rec.reportCount() >= 1; }, 10s));
  EXPECT_TRUE(s1.Running());
  EXPECT_TRUE(s2.Running());
  s1.RequestAbort();
  s2.RequestAbort();
  ASSERT_TRUE(waitFor([&] { return !s1.Running() && !s2.Running(); }, 5s));
  ASSERT_TRUE(waitFor([&] { return !s1.WorkerActive() && !s2.WorkerActive(); }, 5s));
  EXPECT_TRUE(s1.Connected()) << "a completed STOR keeps the control connection";

  for (auto [s, name] :
       {std::pair{&s1, "20261208010203004.txt1"}, std::pair{&s2, "20261208010203004.txt2"}}) {
    auto stored = server_->readUpload(name);
    ASSERT_TRUE(stored) << name;
    EXPECT_EQ(static_cast<std::int64_t>(stored->size()), s->TransferredBytes()) << "the STOR completed";
    EXPECT_GT(stored->size(), 20u * 65536) << "the buffer of 20 send buffers is sent again and again";
    EXPECT_EQ(stored->find_first_not_of('*'), std::string::npos);
  }
  for (const auto& r : rec.reports()) {
    EXPECT_EQ(r.sender, "FTP1");
    EXPECT_EQ(r.mode, WorkMode::Write);
  }
  s1.Disconnect();
  s2.Disconnect();
  EXPECT_FALSE(s1.Connected());

  std::string wire = server_->protocolLog();
  EXPECT_NE(wire.find("\"PASV\""), std::string::npos);
  EXPECT_EQ(wire.find("\"EPSV\""), std::string::npos);
  EXPECT_NE(wire.find("\"TYPE I\""), std::string::npos);
  EXPECT_NE(wire.find("\"STOR 20261208010203004.txt1\""), std::string::npos);
  EXPECT_EQ(wire.find("\"APPE"), std::string::npos);
  EXPECT_EQ(wire.find("\"QUIT\""), std::string::npos) << "disconnect sends no QUIT";
}

TEST_F(FtpVsftpd, AbortEndsADownloadWithinASecond) {
  start(VsftpdServer::Options{}, "200mbit");
  if (IsSkipped()) return;
  CFTPSession s4;
  SessionRecorder rec;
  rec.attach(s4);
  connect(s4, "FTP4");
  s4.SetDownloadFile("test_1024m.zip");
  s4.StartDownload();
  ASSERT_TRUE(waitFor([&] { return rec.reportCount() >= 1; }, 10s));
  s4.RequestAbort();
  EXPECT_TRUE(waitFor([&] { return !s4.Running(); }, 1000ms));
  EXPECT_TRUE(waitFor([&] { return !s4.WorkerActive(); }, 2s));
  EXPECT_FALSE(s4.AbortRequested());
  EXPECT_LT(s4.TransferredBytes(), 1ll << 30);
  s4.Disconnect();
  EXPECT_FALSE(s4.Connected());
}

TEST_F(FtpVsftpd, FaultsEndTheTransferAndDisconnectReturns) {
  VsftpdServer::Options options = files({{"test.bin", 1ull << 30}});
  start(options, "100mbit");
  if (IsSkipped()) return;

  // STOR into the root, which the server's user cannot write: 553.
  {
    CFTPSession s;
    connect(s, "FTP1");
    s.SetUploadFile("refused.txt1");
    s.StartUpload();
    ASSERT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 5s));
    EXPECT_FALSE(s.Connected());
    EXPECT_NE(server_->protocolLog().find("553"), std::string::npos);
    s.Disconnect();
  }
  // The server freezes in the middle of a RETR.
  {
    CFTPSession s;
    connect(s, "FTP5");
    s.SetDownloadFile("test.bin");
    s.StartDownload();
    ASSERT_TRUE(waitFor([&] { return s.TransferredBytes() > (1 << 20); }, 5s));
    server_->stall();
    s.RequestAbort();
    auto before = std::chrono::steady_clock::now();
    s.Disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 4s);
    EXPECT_FALSE(s.Connected());
    EXPECT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 4s));
    server_->resume();
  }
  // The server's session dies: control and data connections drop.
  {
    CFTPSession s;
    SessionRecorder rec;
    rec.attach(s);
    connect(s, "FTP6");
    s.SetDownloadFile("test.bin");
    s.StartDownload();
    ASSERT_TRUE(waitFor([&] { return s.TransferredBytes() > (1 << 20); }, 5s));
    server_->dropSessions();
    ASSERT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 5s));
    EXPECT_TRUE(waitFor([&] { return !s.Connected(); }, 2s));
    EXPECT_EQ(rec.disconnectedEvents(), 1);
    s.Disconnect();
  }
}

// The 2000 ms limit is the TCP connect's: a login reply 3 s late (a long path) still logs in.
TEST(FtpVsftpdLogin, LoginSlowerThanTheConnectLimitStillLogsIn) {
  if (!zelvo::test::isRoot()) GTEST_SKIP() << "needs root for network namespaces";
  NetNamespace ns("ftpslow");
  ASSERT_TRUE(ns.ok());
  VsftpdServer::Options options;
  options.files = {{"test.bin", 1000}};
  options.loginDelaySeconds = 3;
  VsftpdServer server(ns, options);
  ASSERT_TRUE(server.ok());
  zelvo::test::NamespaceEntry entry(ns);
  ASSERT_TRUE(entry.ok());
  CFTPSession s4;
  prepare(s4, "FTP4", server.host(), server.port());
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(s4.Connect());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(s4.Connected());
  s4.Disconnect();
}

TEST(FtpVethPair, DownloadCrossesTheShapedLinkBetweenTwoNamespaces) {
  if (!zelvo::test::isRoot()) GTEST_SKIP() << "needs root for network namespaces";
  VsftpdServer::Options options;
  options.files = {{"test.bin", 2 << 20}};
  zelvo::test::VethPair pair("ftpveth", "50mbit", "50mbit", options);
  ASSERT_TRUE(pair.ok());
  zelvo::test::NamespaceEntry entry(pair.client());
  ASSERT_TRUE(entry.ok());
  auto before = interfaceBytes(pair.clientInterface());
  ASSERT_TRUE(before);
  CFTPSession s;
  prepare(s, "FTP4", zelvo::test::VethPair::kServerAddress, 21);
  ASSERT_TRUE(s.Connect());
  s.SetDownloadFile("test.bin");
  s.StartDownload();
  ASSERT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 10s));
  EXPECT_EQ(s.TransferredBytes(), 2 << 20);
  auto after = interfaceBytes(pair.clientInterface());
  ASSERT_TRUE(after);
  EXPECT_GE(after->rx - before->rx, 2u << 20);
  s.Disconnect();
}
