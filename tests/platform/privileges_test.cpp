// Start-up privileges, each case in a child process of its own (the test program keeps root's): the
// child takes on the credentials a program starts with, runs start-up, and reports its capability
// sets as /proc/self/status shows them (and those of a thread started before), and how an echo to
// the namespace's loopback went.

#include "platform/icmp.h"
#include "platform/privileges.h"
#include "tests/workers/icmp_testbed.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zelvo::test {
namespace {

using platform::IcmpSocketKind;
using Report = std::map<std::string, std::string>;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
constexpr const char* kNoCapability = "0000000000000000";

// Runs body in a child process; its report comes back as "key=value" lines.
Report inChild(const std::function<Report()>& body) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {{"error", "pipe"}};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string text;
    for (const auto& [key, value] : body())
      text += key + "=" + value + "\n";
    ssize_t written = ::write(fds[1], text.data(), text.size());
    ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[512];
  ssize_t got;
  while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(got));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  Report report;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (auto equals = line.find('='); equals != std::string::npos)
      report[line.substr(0, equals)] = line.substr(equals + 1);
  report["exit"] = std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return report;
}

// The state a program run by an ordinary user starts in, holding CAP_NET_RAW (permitted and
// effective, as a file capability +ep gives it) or nothing.
bool becomeOrdinaryUser(bool netRaw) {
  if (::prctl(PR_SET_KEEPCAPS, 1) != 0 || ::setgroups(0, nullptr) != 0 ||
      ::setresgid(kNogroup, kNogroup, kNogroup) != 0 || ::setresuid(kNobody, kNobody, kNobody) != 0)
    return false;
  cap_t caps = cap_init();
  const cap_value_t value = CAP_NET_RAW;
  if (netRaw) {
    cap_set_flag(caps, CAP_PERMITTED, 1, &value, CAP_SET);
    cap_set_flag(caps, CAP_EFFECTIVE, 1, &value, CAP_SET);
  }
  bool set = cap_set_proc(caps) == 0;
  cap_free(caps);
  return set && ::prctl(PR_SET_KEEPCAPS, 0) == 0;
}

// The "Cap..." lines of a thread's status (or the process's, the main thread's), each under its name
// with the prefix given.
void readCapabilities(const std::string& status, const std::string& prefix, Report& report) {
  std::ifstream file(status);
  for (std::string line; std::getline(file, line);)
    if (line.rfind("Cap", 0) == 0)
      report[prefix + line.substr(0, line.find(':'))] = line.substr(line.find('\t') + 1);
}

// Start-up, then what the process holds and what its probe can do. A thread that was already waiting
// when start-up ran (as libraries start them before main) is reported with its sets as "earlier.".
Report startUpAndProbe() {
  Report report;
  std::mutex mutex;
  std::condition_variable wake;
  bool done = false;
  std::atomic<pid_t> earlierTid{0};
  std::thread earlier([&] {
    earlierTid = static_cast<pid_t>(::syscall(SYS_gettid));
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait(lock, [&] { return done; });
  });
  while (!earlierTid.load())
    std::this_thread::yield();
  report["startUp"] = platform::KeepEchoSocketAndDropPrivileges() ? "kept nothing" : "still privileged";
  readCapabilities("/proc/self/status", "", report);
  readCapabilities("/proc/self/task/" + std::to_string(earlierTid.load()) + "/status", "earlier.", report);
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  wake.notify_all();
  earlier.join();
  // A raw socket of its own is out of reach now.
  int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  report["ownRawSocket"] = fd >= 0 ? "opened" : (errno == EPERM ? "refused" : "failed");
  if (fd >= 0) ::close(fd);
  if (!platform::IcmpCreateFile(IcmpSocketKind::Raw))
    report["rawHandleError"] = std::to_string(platform::IcmpCreateFileError());

  auto handle = platform::IcmpCreateFile();
  if (!handle) {
    report["echo"] = "no handle, error " + std::to_string(platform::IcmpCreateFileError());
    return report;
  }
  report["kind"] = handle->kind() == IcmpSocketKind::Raw ? "raw" : "datagram";
  std::optional<platform::IcmpEchoReply> reply;
  const std::string data = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
  platform::IpOptionInformation options;
  options.ttl = 255;
  if (platform::IcmpSendEcho2(*handle, ipv4("127.0.0.1"), data.data(), 32, options, 2000,
                              [&](const platform::IcmpEchoReply& r) { reply = r; }) !=
      platform::kErrorIoPending)
    return report;
  for (int i = 0; i < 300 && !reply; ++i)
    platform::SleepEx(10, true);
  if (reply)
    report["echo"] = "status " + std::to_string(reply->status) + " ttl " + std::to_string(reply->ttl) +
                     " size " + std::to_string(reply->dataSize);
  return report;
}

const std::string kAnswered = "status 0 ttl " + std::to_string(kNamespaceReplyTtl) + " size 32";

class StartUpPrivileges : public ::testing::Test {
protected:
  void SetUp() override {
    if (!isRoot()) GTEST_SKIP() << "needs root for namespaces and credentials";
  }
  void expectNoCapability(const Report& report) {
    EXPECT_EQ(report.at("exit"), "0");
    EXPECT_EQ(report.count("startUp") ? report.at("startUp") : "", "kept nothing");
    for (std::string thread : {"", "earlier."})
      for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
        EXPECT_EQ(report.count(thread + set) ? report.at(thread + set) : "", kNoCapability) << thread << set;
    EXPECT_EQ(report.count("ownRawSocket") ? report.at("ownRawSocket") : "", "refused");
  }
};

TEST_F(StartUpPrivileges, AnOrdinaryUserWithNetRawEchoesOnTheKeptSocketAndHoldsNoCapability) {
  IcmpNamespace ns(/*allowDatagram=*/false);
  ASSERT_TRUE(ns.ok());
  Report report = inChild([] { return becomeOrdinaryUser(true) ? startUpAndProbe() : Report{}; });
  expectNoCapability(report);
  EXPECT_EQ(report["kind"], "raw");
  EXPECT_EQ(report["echo"], kAnswered);
  EXPECT_EQ(report.count("rawHandleError"), 0u); // every raw handle shares the kept socket
}

TEST_F(StartUpPrivileges, RootAlsoEmptiesTheAmbientAndBoundingSets) {
  IcmpNamespace ns(/*allowDatagram=*/false);
  ASSERT_TRUE(ns.ok());
  Report report = inChild([] {
    // An ambient capability would pass on to every program the process starts.
    cap_t caps = cap_get_proc();
    const cap_value_t value = CAP_NET_RAW;
    cap_set_flag(caps, CAP_INHERITABLE, 1, &value, CAP_SET);
    bool raised = cap_set_proc(caps) == 0 && cap_set_ambient(CAP_NET_RAW, CAP_SET) == 0;
    cap_free(caps);
    return raised ? startUpAndProbe() : Report{};
  });
  expectNoCapability(report);
  EXPECT_EQ(report["CapBnd"], kNoCapability);
  EXPECT_EQ(report["earlier.CapBnd"], kNoCapability);
  EXPECT_EQ(report["echo"], kAnswered);
}

TEST_F(StartUpPrivileges, WhereTheGroupMayUseDatagramEchoNoRawSocketIsKept) {
  IcmpNamespace ns(/*allowDatagram=*/true);
  ASSERT_TRUE(ns.ok());
  Report report = inChild([] { return becomeOrdinaryUser(true) ? startUpAndProbe() : Report{}; });
  expectNoCapability(report);
  EXPECT_EQ(report["kind"], "datagram");
  EXPECT_EQ(report["echo"], kAnswered);
  EXPECT_EQ(report["rawHandleError"], std::to_string(platform::kErrorAccessDenied));
}

TEST_F(StartUpPrivileges, WithNeitherTheProbeIsDeniedForWantOfPermission) {
  IcmpNamespace ns(/*allowDatagram=*/false);
  ASSERT_TRUE(ns.ok());
  Report report = inChild([] { return becomeOrdinaryUser(false) ? startUpAndProbe() : Report{}; });
  expectNoCapability(report);
  EXPECT_EQ(report["echo"], "no handle, error " + std::to_string(platform::kErrorAccessDenied));
}

} // namespace
} // namespace zelvo::test
