// Sessions against the misbehaving FTP server of the tests (loopback, no root needed).

#include "platform/socket.h"
#include "tests/support/ftpserver.h"
#include "tests/support/support.h"
#include "tests/workers/ftprecorder.h"
#include "workers/ftpthread.h"
#include "workers/tcpstats.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;
using zelvo::CFTPSession;
using zelvo::ftpCounters;
using zelvo::test::FaultyFtpServer;
using zelvo::test::prepare;
using zelvo::test::SessionRecorder;
using zelvo::test::waitFor;
using Fault = FaultyFtpServer::Fault;

namespace {

FaultyFtpServer::Options with(Fault fault, std::uint64_t size = 1 << 20) {
  FaultyFtpServer::Options o;
  o.fault = fault;
  o.fileSize = size;
  return o;
}

// A loopback port that refuses connections: bound, never listening.
class ClosedPort {
public:
  ClosedPort() : socket_(zelvo::platform::BindLoopbackTcp4(port_)) {}
  ~ClosedPort() { zelvo::platform::CloseSocket(socket_); }
  int port() const { return port_; }

private:
  int port_ = 0;
  zelvo::platform::SocketHandle socket_;
};

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace

TEST(FtpSession, ConnectLogsInOnceAndIgnoresConnectionSettersWhileConnected) {
  FaultyFtpServer server(with(Fault::None));
  ASSERT_TRUE(server.ok());
  CFTPSession s;
  SessionRecorder rec;
  rec.attach(s);
  prepare(s, "FTP2", "127.0.0.1", server.port());
  ASSERT_TRUE(s.Connect());
  EXPECT_TRUE(s.Connected());
  EXPECT_EQ(rec.connectedEvents(), 1);

  s.SetName("FTP9");
  s.SetPort(1);
  EXPECT_EQ(s.Name(), "FTP2");
  // The download file setter is guarded by Running, not by Connected.
  s.SetDownloadFile("blob.bin");
  s.StartDownload();
  ASSERT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 5s));
  EXPECT_TRUE(server.sawCommand("RETR blob.bin"));
  EXPECT_EQ(server.connections(), 1) << "SIZE and RETR reuse the login";
  EXPECT_TRUE(server.sawCommand("PASV"));
  EXPECT_FALSE(server.sawCommand("EPSV"));
  EXPECT_TRUE(server.sawCommand("TYPE I"));
  EXPECT_TRUE(server.sawCommand("SIZE blob.bin"));

  auto logs = rec.logsOf("FTP2");
  ASSERT_GE(logs.size(), 5u);
  EXPECT_EQ(logs[0], "> Connect() !!!!!");
  EXPECT_EQ(logs[1], "hsResolving");
  EXPECT_EQ(logs[2], "hsConnecting");
  EXPECT_EQ(logs[3], "hsConnected");
  EXPECT_TRUE(contains(logs, "FTP2 Event:AfterClientLogin()"));
  EXPECT_TRUE(contains(logs, "FTP2 Event:AfterGet()"));
  EXPECT_TRUE(contains(logs, "ftpTransfer"));
  EXPECT_TRUE(contains(logs, "ftpReady"));

  // A completed download leaves the session running; only an abort ends that state.
  EXPECT_TRUE(s.Running());
  EXPECT_EQ(s.TransferredBytes(), 1 << 20);
  s.Disconnect();
  EXPECT_FALSE(s.Connected());
  EXPECT_EQ(rec.disconnectedEvents(), 1);
  EXPECT_TRUE(waitFor([&] { return server.closedByClient() == 1; }, 3s));
  EXPECT_FALSE(server.sawCommand("QUIT")) << "a disconnect closes without QUIT";
}

TEST(FtpSession, WorkBeginLinesNameTheCountModeAndExpectedSize) {
  FaultyFtpServer server(with(Fault::None, 300000));
  CFTPSession s;
  SessionRecorder rec;
  rec.attach(s);
  prepare(s, "FTP5", "127.0.0.1", server.port());
  ASSERT_TRUE(s.Connect());
  s.SetDownloadFile("a.bin");
  s.StartDownload();
  ASSERT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 5s));
  auto logs = rec.logsOf("FTP5");
  // " 第 1 次下載" in CP950.
  EXPECT_TRUE(contains(logs, "FTP5 \xb2\xc4 1 \xa6\xb8\xa4\x55\xb8\xfc"));
  auto begin = std::find_if(logs.begin(), logs.end(),
                            [](const std::string& l) { return l.find("WorkBegin()") != std::string::npos; });
  ASSERT_NE(begin, logs.end());
  EXPECT_NE(begin->find(" wmRead WorkBegin() - WorkCountMax = 300000"), std::string::npos) << *begin;
  EXPECT_EQ(begin->rfind("FTP5 ", 0), 0u);
}

TEST(FtpSession, UnreachableServerFailsOnlyForLeadSessions) {
  ClosedPort closed;
  for (const char* name : {"FTP2", "FTP3", "FTP5", "FTP6"}) {
    CFTPSession s;
    prepare(s, name, "127.0.0.1", closed.port());
    EXPECT_TRUE(s.Connect()) << name;
    EXPECT_FALSE(s.Connected()) << name;
  }
  for (const char* name : {"FTP1", "FTP4"}) {
    CFTPSession s;
    SessionRecorder rec;
    rec.attach(s);
    prepare(s, name, "127.0.0.1", closed.port());
    EXPECT_FALSE(s.Connect()) << name;
    EXPECT_FALSE(s.Connected()) << name;
    EXPECT_EQ(rec.connectedEvents(), 0);
    // Nothing to change into, nothing to download.
    EXPECT_FALSE(s.ChangeDir("uploads"));
    s.StartDownload();
    EXPECT_FALSE(s.WorkerActive());
    EXPECT_FALSE(s.Running());
  }
}

// The 2000 ms limit is the TCP connect's: a greeting or a login slower than that (a satellite path)
// still logs in, each reply waiting up to the reply time-out; a server that never answers the connect
// fails after the limit.
TEST(FtpSession, ConnectLimitBoundsOnlyTheTcpConnect) {
  FaultyFtpServer::Options late = with(Fault::None, 3 << 20);
  late.greetingDelayMs = 2500;
  FaultyFtpServer lateGreeting(late);
  FaultyFtpServer::Options slow = with(Fault::SlowLogin);
  slow.loginDelayMs = 2500;
  FaultyFtpServer slowLogin(slow);
  FaultyFtpServer never(with(Fault::NeverAccept));
  FaultyFtpServer silent(with(Fault::SilentGreeting));
  ASSERT_TRUE(never.ok());

  CFTPSession a, b, c, d;
  prepare(a, "FTP4", "127.0.0.1", lateGreeting.port());
  prepare(b, "FTP4", "127.0.0.1", slowLogin.port());
  prepare(c, "FTP1", "127.0.0.1", never.port());
  prepare(d, "FTP4", "127.0.0.1", silent.port());
  struct Outcome {
    bool result = false;
    std::chrono::milliseconds took{0};
  } outcome[4];
  CFTPSession* sessions[4] = {&a, &b, &c, &d};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      auto start = std::chrono::steady_clock::now();
      outcome[i].result = sessions[i]->Connect();
      outcome[i].took =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    });
  for (auto& t : threads)
    t.join();

  EXPECT_TRUE(outcome[0].result);
  EXPECT_TRUE(a.Connected());
  EXPECT_GE(outcome[0].took, 2500ms);
  EXPECT_TRUE(outcome[1].result);
  EXPECT_TRUE(b.Connected());
  EXPECT_FALSE(outcome[2].result);
  EXPECT_FALSE(c.Connected());
  EXPECT_GE(outcome[2].took, 1900ms);
  EXPECT_LT(outcome[2].took, 3000ms);
  EXPECT_FALSE(outcome[3].result) << "no greeting within the reply time-out";
  EXPECT_FALSE(d.Connected());

  // The late-greeting session carries a whole transfer.
  a.SetDownloadFile("a.bin");
  a.StartDownload();
  ASSERT_TRUE(waitFor([&] { return !a.WorkerActive(); }, 10s));
  EXPECT_EQ(a.TransferredBytes(), 3 << 20);
  EXPECT_TRUE(a.Connected());
  c.Disconnect();
  d.Disconnect();
}

// Totals are 64-bit: a transfer goes on past two billion bytes, and its data connection's TCP figures
// are gathered for its direction.
TEST(FtpSession, TransferPastTwoBillionBytesIsCountedWholeWithItsTcpFigures) {
  const std::uint64_t size = 2'100'000'000;
  FaultyFtpServer server(with(Fault::None, size));
  CFTPSession s;
  prepare(s, "FTP4", "127.0.0.1", server.port());
  ASSERT_TRUE(s.Connect());
  zelvo::resetTcpStats();
  s.SetDownloadFile("big.bin");
  s.StartDownload();
  ASSERT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 120s));
  EXPECT_EQ(s.TransferredBytes(), static_cast<std::int64_t>(size));
  EXPECT_EQ(ftpCounters().TotalBytes, static_cast<std::int64_t>(size));
  EXPECT_TRUE(s.Running()) << "a transfer that ends by itself stays running";
  const zelvo::TcpPhaseStats down = zelvo::tcpStatsSnapshot(false);
  EXPECT_EQ(down.connections, 1);
  EXPECT_GT(down.rttMs, 0);
  EXPECT_EQ(zelvo::tcpStatsSnapshot(true).connections, 0);
  zelvo::resetTcpStats();
  EXPECT_EQ(zelvo::tcpStatsSnapshot(false).connections, 0);
}

TEST(FtpSession, SizeOfMissingFileLogsOneLineAndStartsNoWorker) {
  FaultyFtpServer server(with(Fault::None));
  CFTPSession s;
  SessionRecorder rec;
  prepare(s, "FTP4", "127.0.0.1", server.port());
  ASSERT_TRUE(s.Connect());
  rec.attach(s);
  s.SetDownloadFile("missing");
  s.StartDownload();
  auto logs = rec.logsOf("FTP4");
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0].rfind("FtpReplyError - 550", 0), 0u) << logs[0];
  EXPECT_FALSE(s.Connected());
  EXPECT_FALSE(s.Running());
  EXPECT_FALSE(s.WorkerActive());
  EXPECT_FALSE(server.sawCommand("RETR"));
}

TEST(FtpSession, WorkerOfSessionStillNamedFtpEndsAtOnce) {
  FaultyFtpServer server(with(Fault::None));
  CFTPSession s; // keeps the construction name "FTP"
  prepare(s, "FTP", "127.0.0.1", server.port());
  s.SetName("FTP");
  ASSERT_TRUE(s.Connect());
  s.SetDownloadFile("a.bin");
  s.StartDownload();
  s.SetUploadFile("u.txt");
  ASSERT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 3s));
  s.StartUpload();
  ASSERT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 3s));
  EXPECT_FALSE(server.sawCommand("RETR"));
  EXPECT_FALSE(server.sawCommand("STOR"));
  EXPECT_EQ(s.TransferredBytes(), 0);
  EXPECT_TRUE(s.Connected());
}

TEST(FtpSession, ThreeSessionsAreCountedExactlyOnceAndOnlyTheLeadsStartResetsTheTotal) {
  constexpr std::uint64_t size = 3 << 20;
  FaultyFtpServer server(with(Fault::HoldData, size));
  CFTPSession s4, s5, s6;
  SessionRecorder rec;
  for (auto* s : {&s4, &s5, &s6})
    rec.attach(*s);
  prepare(s4, "FTP4", "127.0.0.1", server.port());
  prepare(s5, "FTP5", "127.0.0.1", server.port());
  prepare(s6, "FTP6", "127.0.0.1", server.port());
  for (auto* s : {&s4, &s5, &s6}) {
    ASSERT_TRUE(s->Connect());
    s->SetDownloadFile("test.bin");
    s->StartDownload();
  }
  ASSERT_TRUE(waitFor(
      [&] { return rec.workBeginsOf("FTP4") && rec.workBeginsOf("FTP5") && rec.workBeginsOf("FTP6"); }, 5s));
  EXPECT_EQ(ftpCounters().TotalBytes, 0);
  server.release();
  ASSERT_TRUE(waitFor([&] { return !s4.WorkerActive() && !s5.WorkerActive() && !s6.WorkerActive(); }, 10s));
  EXPECT_EQ(ftpCounters().TotalBytes, static_cast<std::int64_t>(3 * size));
  EXPECT_EQ(s4.TransferredBytes() + s5.TransferredBytes() + s6.TransferredBytes(),
            static_cast<std::int64_t>(3 * size));

  // A second transfer on a session that does not lead adds to the phase's total. A completed download
  // leaves the session running, so its file can no longer be changed.
  EXPECT_TRUE(s5.Running());
  s5.SetDownloadFile("other.bin");
  s5.StartDownload();
  ASSERT_TRUE(waitFor([&] { return !s5.WorkerActive(); }, 10s));
  EXPECT_EQ(ftpCounters().TotalBytes, static_cast<std::int64_t>(4 * size));
  EXPECT_FALSE(server.sawCommand("RETR other.bin"));

  // A session that joins late, after the lead counted, leaves the total alone (the lead's next report
  // would otherwise be negative); the lead's start begins a phase at 0.
  FaultyFtpServer held(with(Fault::HoldData, size));
  CFTPSession late;
  prepare(late, "FTP6", "127.0.0.1", held.port());
  ASSERT_TRUE(late.Connect());
  late.SetDownloadFile("x.bin");
  late.StartDownload();
  EXPECT_EQ(ftpCounters().TotalBytes, static_cast<std::int64_t>(4 * size));
  CFTPSession lead;
  prepare(lead, "FTP4", "127.0.0.1", held.port());
  ASSERT_TRUE(lead.Connect());
  lead.SetDownloadFile("y.bin");
  lead.StartDownload();
  EXPECT_EQ(ftpCounters().TotalBytes, 0);
  for (auto* s : {&late, &lead}) {
    s->RequestAbort();
    s->Disconnect();
  }
}

TEST(FtpSession, StalledRetrIsNotEndedByAbortAloneButDisconnectReturnsPromptly) {
  FaultyFtpServer server(with(Fault::StallRetr, 1 << 30));
  CFTPSession s;
  SessionRecorder rec;
  rec.attach(s);
  prepare(s, "FTP4", "127.0.0.1", server.port());
  ASSERT_TRUE(s.Connect());
  s.SetDownloadFile("a.bin");
  s.StartDownload();
  ASSERT_TRUE(waitFor([&] { return s.TransferredBytes() == 256 << 10; }, 5s));
  s.RequestAbort();
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(s.Running()) << "no work event, so the abort waits";
  EXPECT_TRUE(s.WorkerActive());
  auto before = std::chrono::steady_clock::now();
  s.Disconnect();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 4s);
  EXPECT_FALSE(s.Connected());
  EXPECT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 4s));
  EXPECT_EQ(rec.disconnectedEvents(), 1);
}

TEST(FtpSession, DroppedDataConnectionEndsTheWorkerAndClosesTheSession) {
  FaultyFtpServer server(with(Fault::DropData, 1 << 30));
  CFTPSession s;
  SessionRecorder rec;
  rec.attach(s);
  prepare(s, "FTP5", "127.0.0.1", server.port());
  ASSERT_TRUE(s.Connect());
  s.SetDownloadFile("a.bin");
  s.StartDownload();
  ASSERT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 5s));
  EXPECT_LE(s.TransferredBytes(), 256 << 10);
  EXPECT_TRUE(s.Running()) << "a failure is not an abort";
  EXPECT_TRUE(waitFor([&] { return !s.Connected(); }, 2s));
  s.Disconnect();
  EXPECT_EQ(rec.disconnectedEvents(), 1);
}

TEST(FtpSession, RefusedStorClosesTheControlConnection) {
  FaultyFtpServer server(with(Fault::RefuseStor));
  CFTPSession s;
  prepare(s, "FTP1", "127.0.0.1", server.port());
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.ChangeDir("uploads"));
  EXPECT_FALSE(s.ChangeDir("missing"));
  EXPECT_TRUE(s.Connected()) << "a refused CWD keeps the connection";
  s.SetUploadFile("up.txt1");
  s.StartUpload();
  ASSERT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 5s));
  EXPECT_TRUE(server.sawCommand("STOR up.txt1"));
  EXPECT_FALSE(server.sawCommand("APPE"));
  EXPECT_FALSE(s.Connected());
  s.Disconnect();
}

// The engine's stop sequence: the lead's progress handler aborts and disconnects all three sessions of
// the phase while the other two still transfer.
TEST(FtpSession, LeadHandlerStopsAllDownloadsWithoutDeadlock) {
  FaultyFtpServer server(with(Fault::None, 1'900'000'000));
  CFTPSession s4, s5, s6;
  CFTPSession* all[] = {&s4, &s5, &s6};
  SessionRecorder rec;
  std::atomic<bool> stopped{false};
  auto stop = [&](zelvo::TransferSession&) {
    if (stopped.exchange(true)) return;
    for (auto* s : all)
      if (s->Running()) s->RequestAbort();
    for (auto* s : all)
      s->Disconnect();
  };
  for (auto* s : all)
    rec.attach(*s, stop);
  prepare(s4, "FTP4", "127.0.0.1", server.port());
  prepare(s5, "FTP5", "127.0.0.1", server.port());
  prepare(s6, "FTP6", "127.0.0.1", server.port());
  for (auto* s : all) {
    ASSERT_TRUE(s->Connect());
    s->SetDownloadFile("big.bin");
    s->StartDownload();
  }
  ASSERT_TRUE(waitFor([&] { return stopped.load(); }, 20s));
  ASSERT_TRUE(waitFor([&] { return !s4.WorkerActive() && !s5.WorkerActive() && !s6.WorkerActive(); }, 5s));
  for (auto* s : all) {
    EXPECT_FALSE(s->Connected()) << s->Name();
    EXPECT_FALSE(s->Running()) << s->Name();
    EXPECT_FALSE(s->AbortRequested()) << s->Name();
  }
  auto reports = rec.reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].sender, "FTP4");
  EXPECT_EQ(reports[0].mode, zelvo::WorkMode::Read);
  EXPECT_GE(reports[0].elapsedMs, 1000);
  EXPECT_GT(reports[0].bitsPerSecond, 0);
}

TEST(FtpSession, LeadHandlerStopsAllUploadsWhichCompleteTheirStor) {
  FaultyFtpServer server(with(Fault::None));
  CFTPSession s1, s2, s3;
  CFTPSession* all[] = {&s1, &s2, &s3};
  SessionRecorder rec;
  std::atomic<bool> stopped{false};
  auto stop = [&](zelvo::TransferSession&) {
    if (stopped.exchange(true)) return;
    for (auto* s : all)
      if (s->Running()) s->RequestAbort();
    for (auto* s : all)
      s->Disconnect();
  };
  for (auto* s : all)
    rec.attach(*s, stop);
  int n = 1;
  for (auto* s : all) {
    prepare(*s, "FTP" + std::to_string(n), "127.0.0.1", server.port());
    ASSERT_TRUE(s->Connect());
    ASSERT_TRUE(s->ChangeDir("uploads"));
    s->SetUploadFile("20261208.txt" + std::to_string(n++));
    s->StartUpload();
  }
  ASSERT_TRUE(waitFor([&] { return stopped.load(); }, 20s));
  ASSERT_TRUE(waitFor([&] { return !s1.WorkerActive() && !s2.WorkerActive() && !s3.WorkerActive(); }, 5s));
  ASSERT_TRUE(waitFor([&] { return server.completedStores() == 3; }, 3s));
  // Every byte handed to the client arrived: the STORs ended normally, not by a dropped connection.
  EXPECT_EQ(server.storedBytes(), static_cast<std::uint64_t>(s1.TransferredBytes() + s2.TransferredBytes() +
                                                             s3.TransferredBytes()));
  EXPECT_GT(server.storedBytes(), 3u * 20 * 65536) << "the buffer is sent again and again";
  EXPECT_TRUE(server.storedOnlyAsterisks());
  for (auto* s : all) {
    EXPECT_FALSE(s->Running()) << s->Name();
    EXPECT_FALSE(s->Connected()) << s->Name();
  }
  auto reports = rec.reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].sender, "FTP1");
  EXPECT_EQ(reports[0].mode, zelvo::WorkMode::Write);
}

TEST(FtpSession, DestroyingSessionEndsItsStalledWorkerFirst) {
  FaultyFtpServer server(with(Fault::StallRetr, 1 << 30));
  auto s = std::make_unique<CFTPSession>();
  prepare(*s, "FTP5", "127.0.0.1", server.port());
  ASSERT_TRUE(s->Connect());
  s->SetDownloadFile("a.bin");
  s->StartDownload();
  ASSERT_TRUE(waitFor([&] { return s->TransferredBytes() > 0; }, 5s));
  // Destroying a session whose worker is stuck in a stalled transfer ends that worker first.
  auto before = std::chrono::steady_clock::now();
  s.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 4s);
}

TEST(FtpSession, StartingAgainEndsTheOlderTransferBeforeUsingTheClient) {
  FaultyFtpServer server(with(Fault::StallRetr, 1 << 30));
  CFTPSession s;
  SessionRecorder rec;
  rec.attach(s);
  prepare(s, "FTP5", "127.0.0.1", server.port());
  ASSERT_TRUE(s.Connect());
  s.SetDownloadFile("a.bin");
  s.StartDownload();
  ASSERT_TRUE(waitFor([&] { return s.TransferredBytes() == 256 << 10; }, 5s));
  // One control connection cannot carry two transfers: the stalled one is ended first, which costs
  // the connection, so the new start finds none and says so.
  s.StartDownload();
  EXPECT_TRUE(waitFor([&] { return !s.WorkerActive(); }, 3s));
  EXPECT_FALSE(s.Connected());
  auto logs = rec.logsOf("FTP5");
  EXPECT_TRUE(contains(logs, "FtpError - Not connected."));
  EXPECT_EQ(server.connections(), 1) << "no silent second login";
}

TEST(FtpSession, HostThatIsNoNameOrAddressIsNeverPutIntoTheAddress) {
  FaultyFtpServer server(with(Fault::None));
  for (std::string host : {"127.0.0.1/x", "ftp@127.0.0.1", "127.0.0.1 ", "", "127.0.0.1\r\nUSER x"}) {
    CFTPSession s;
    prepare(s, "FTP4", host, server.port());
    EXPECT_FALSE(s.Connect()) << host;
    EXPECT_FALSE(s.Connected()) << host;
  }
  EXPECT_EQ(server.connections(), 0);
  CFTPSession other;
  prepare(other, "FTP6", "127.0.0.1:80", server.port());
  EXPECT_TRUE(other.Connect()) << "not a lead session";
  EXPECT_FALSE(other.Connected());
}

TEST(FtpSession, CancelCheckEndsALoginAndAStalledTransferAtOnce) {
  using Clock = std::chrono::steady_clock;
  std::atomic<bool> cancelled{false};
  auto cancelSoon = [&] {
    return std::thread([&] {
      std::this_thread::sleep_for(200ms);
      cancelled = true;
    });
  };

  std::thread canceller;
  auto start = Clock::now();
  for (Fault stall : {Fault::NeverAccept, Fault::SilentGreeting}) {
    cancelled = false;
    FaultyFtpServer server(with(stall));
    CFTPSession login;
    prepare(login, "FTP1", "127.0.0.1", server.port());
    login.SetCancelCheck([&] { return cancelled.load(); });
    canceller = cancelSoon();
    start = Clock::now();
    EXPECT_FALSE(login.Connect());
    EXPECT_LT(Clock::now() - start, 1s) << "the connect and login limits are seconds longer";
    canceller.join();
  }

  cancelled = false;
  FaultyFtpServer stalled(with(Fault::StallRetr, 1 << 30));
  CFTPSession transfer;
  prepare(transfer, "FTP4", "127.0.0.1", stalled.port());
  transfer.SetCancelCheck([&] { return cancelled.load(); });
  ASSERT_TRUE(transfer.Connect());
  transfer.SetDownloadFile("a.bin");
  transfer.StartDownload();
  ASSERT_TRUE(waitFor([&] { return transfer.TransferredBytes() == 256 << 10; }, 5s));
  canceller = cancelSoon();
  start = Clock::now();
  EXPECT_TRUE(waitFor([&] { return !transfer.WorkerActive(); }, 5s));
  EXPECT_LT(Clock::now() - start, 1s);
  canceller.join();
}
