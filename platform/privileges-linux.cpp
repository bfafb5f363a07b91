#include "platform/privileges.h"

#include "platform/icmp.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace zelvo::platform {

namespace {

using Capabilities = std::unique_ptr<std::remove_pointer_t<cap_t>, int (*)(void*)>;

Capabilities own(cap_t caps) {
  return Capabilities(caps, &cap_free);
}

bool holds(cap_t caps, cap_value_t capability, cap_flag_t set) {
  cap_flag_value_t value = CAP_CLEAR;
  return cap_get_flag(caps, capability, set, &value) == 0 && value == CAP_SET;
}

// A file capability given as permitted only (+p, not +ep) leaves raising it to the program.
void raiseNetRaw() {
  Capabilities caps = own(cap_get_proc());
  if (!caps || !holds(caps.get(), CAP_NET_RAW, CAP_PERMITTED) ||
      holds(caps.get(), CAP_NET_RAW, CAP_EFFECTIVE))
    return;
  const cap_value_t netRaw = CAP_NET_RAW;
  cap_set_flag(caps.get(), CAP_EFFECTIVE, 1, &netRaw, CAP_SET);
  cap_set_proc(caps.get());
}

std::atomic<int> highestCapability{CAP_LAST_CAP};
std::atomic<int> threadsDropped{0};

// Empties the calling thread's sets: capabilities belong to each thread. The bounding set goes first,
// while CAP_SETPCAP (root's) still allows it; it caps what a later exec could gain, since root would
// otherwise get everything back with the next program it starts. Ambient capabilities would pass to
// every program started. System calls only: this also runs in a signal handler.
void dropOwnCapabilities() {
  for (int capability = 0; capability <= highestCapability.load(); ++capability)
    ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
  ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  ::syscall(SYS_capset, &header, none);
}

void onDropSignal(int) {
  int saved = errno;
  dropOwnCapabilities();
  threadsDropped.fetch_add(1);
  errno = saved;
}

// The "Cap..." lines of a thread's status.
std::string capabilityLines(const std::string& task) {
  std::ifstream status("/proc/self/task/" + task + "/status");
  std::string lines;
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Cap", 0) == 0) lines += line + "\n";
  return lines;
}

// The threads of the process other than the calling one; their holdings, when asked, are compared
// with the calling thread's.
std::vector<pid_t> otherThreads(bool onlyUnlikeMine) {
  std::vector<pid_t> threads;
  const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
  const std::string mine = capabilityLines(std::to_string(self));
  std::unique_ptr<DIR, int (*)(DIR*)> tasks(::opendir("/proc/self/task"), &::closedir);
  if (!tasks) return threads;
  while (dirent* entry = ::readdir(tasks.get())) {
    if (entry->d_name[0] == '.') continue;
    pid_t tid = static_cast<pid_t>(std::stol(entry->d_name));
    if (tid == self) continue;
    if (!onlyUnlikeMine || capabilityLines(entry->d_name) != mine) threads.push_back(tid);
  }
  return threads;
}

// Threads that run before main (a library's initialiser starts them: the web view's JavaScript engine
// does) got the capability at exec like the main thread. Each is made to drop its own in a signal
// handler, the way the C library hands set-user-ID changes to every thread; a thread that one of them
// starts meanwhile is caught in the next round. True when every thread holds what this one does.
bool dropInOtherThreads() {
  if (otherThreads(true).empty()) return true;
  const int signal = SIGRTMIN + 3;
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = &onDropSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (::sigaction(signal, &action, &previous) != 0) return false;
  const pid_t process = ::getpid();
  for (int round = 0; round < 5; ++round) {
    std::vector<pid_t> unlike = otherThreads(true);
    if (unlike.empty()) break;
    threadsDropped = 0;
    int signalled = 0;
    for (pid_t tid : unlike)
      signalled += ::syscall(SYS_tgkill, process, tid, signal) == 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (threadsDropped.load() < signalled && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::sigaction(signal, &previous, nullptr);
  return otherThreads(true).empty();
}

} // namespace

bool KeepEchoSocketAndDropPrivileges() {
  raiseNetRaw();
  IcmpReserveRawSocket();
  highestCapability = static_cast<int>(cap_max_bits()) - 1;
  dropOwnCapabilities();
  Capabilities left = own(cap_get_proc());
  Capabilities none = own(cap_init());
  if (!left || !none || cap_compare(left.get(), none.get()) != 0) return false;
  return dropInOtherThreads();
}

} // namespace zelvo::platform
