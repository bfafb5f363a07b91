#include "tests/support/netns.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zelvo::test {

namespace {
std::atomic<int> counter{0};
}

int shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

NetNamespace::NetNamespace(const std::string& tag) {
  name_ = "zelvo-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  if (::geteuid() != 0) return;
  ok_ = shell("ip netns add " + name_ + " 2>/dev/null") == 0 &&
        shell("ip -n " + name_ + " link set lo up") == 0;
}

NetNamespace::~NetNamespace() {
  for (pid_t pid : children_) {
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  if (ok_)
    shell("ip netns pids " + name_ + " 2>/dev/null | xargs -r kill -9 2>/dev/null; ip netns del " + name_ +
          " 2>/dev/null");
}

bool NetNamespace::enter() {
  if (!ok_) return false;
  int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool entered = ::setns(fd, CLONE_NEWNET) == 0;
  ::close(fd);
  return entered;
}

int NetNamespace::run(const std::string& command) const {
  return shell("ip netns exec " + name_ + " sh -c '" + command + "'");
}

pid_t NetNamespace::spawn(const std::string& command) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::execlp("ip", "ip", "netns", "exec", name_.c_str(), "sh", "-c", command.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid > 0) children_.push_back(pid);
  return pid;
}

void NetNamespace::kill(pid_t pid) {
  ::kill(-pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  std::erase(children_, pid);
}

void NetNamespace::stop(pid_t pid, int signal) {
  ::kill(-pid, signal);
  ::waitpid(pid, nullptr, 0);
  std::erase(children_, pid);
}

} // namespace zelvo::test
