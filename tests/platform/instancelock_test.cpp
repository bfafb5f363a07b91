#include "platform/instancelock.h"

#include <gtest/gtest.h>
#include <string>

#ifndef _WIN32
#include "tests/support/support.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <glib.h>
#include <grp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace zelvo::platform {
namespace {

#ifndef _WIN32
// Runs this thread's main loop until the condition holds or the time is up.
bool serveUntil(const std::function<bool()>& condition, int ms) {
  return test::waitFor(
      [&] {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        return condition();
      },
      std::chrono::milliseconds(ms));
}

struct UnixAddress {
  sockaddr_un address{};
  socklen_t length = 0;
};

// The abstract address a lock of this process bound for the name, as the kernel reports it: the
// tests take it from there rather than spell the naming rule out again.
std::optional<UnixAddress> boundAddress(const std::string& name) {
  DIR* fds = opendir("/proc/self/fd");
  if (!fds) return std::nullopt;
  std::optional<UnixAddress> found;
  while (dirent* entry = readdir(fds)) {
    UnixAddress a;
    a.length = sizeof a.address;
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || getsockname(fd, reinterpret_cast<sockaddr*>(&a.address), &a.length) != 0)
      continue;
    if (a.address.sun_family == AF_UNIX && a.length > offsetof(sockaddr_un, sun_path) + name.size() &&
        a.address.sun_path[0] == '\0' && std::memcmp(a.address.sun_path + 1, name.data(), name.size()) == 0)
      found = a;
  }
  closedir(fds);
  return found;
}

// Starts body in a child process as the user and group "nobody"; the child's exit status is body's.
template <typename Body> pid_t startAsAnotherUser(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
      _exit(255);
    _exit(body());
  }
  return child;
}

// The exit status of a child (255: it could not become the other user), -1 when it did not exit.
int exitStatusOf(pid_t child) {
  int status = 0;
  if (child <= 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
#endif

TEST(InstanceLock, SecondCopyFindsTheNameTakenUntilTheFirstEnds) {
  const std::string name = "zelvo instance lock test";
  int requests = 0;
  {
    InstanceLock holder(name);
    ASSERT_TRUE(holder.first());
    holder.serve([&requests] { ++requests; });
    InstanceLock later(name);
    EXPECT_FALSE(later.first());
#ifndef _WIN32
    // A copy that only looked asks for nothing.
    { InstanceLock looking(name); }
    serveUntil([] { return false; }, 100);
    EXPECT_EQ(requests, 0);
#endif
    later.askFirstCopy();
#ifndef _WIN32
    // The request reaches the holder through its main loop.
    EXPECT_TRUE(serveUntil([&] { return requests > 0; }, 1000));
    EXPECT_EQ(requests, 1);
#else
    // The holder's application window is this thread's: the request is delivered within the call.
    EXPECT_EQ(requests, 1);
#endif
    EXPECT_TRUE(InstanceLock("another " + name).first());
  }
  EXPECT_TRUE(InstanceLock(name).first());
}

#ifndef _WIN32
TEST(InstanceLock, NameHeldByAnotherUserNeitherStopsThisUsersCopyNorHearsFromIt) {
  if (!test::isRoot()) GTEST_SKIP() << "needs root to run a process as another user";
  const std::string name = "zelvo instance lock held by another user";
  std::optional<UnixAddress> address;
  {
    InstanceLock mine(name);
    address = boundAddress(name);
  }
  ASSERT_TRUE(address);

  // Another user takes this user's name and reports the bytes it was sent once told to stop.
  int ready[2], stop[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(stop), 0);
  const pid_t child = startAsAnotherUser([&] {
    close(ready[0]);
    close(stop[1]);
    // Not blocking: once told to stop it takes what is queued and no more.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address->address), address->length) != 0 || listen(fd, 4) != 0)
      return 254;
    (void)!write(ready[1], "r", 1);
    char byte;
    (void)!read(stop[0], &byte, 1);
    int received = 0;
    for (int client; (client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; close(client)) {
      char buffer[64];
      for (ssize_t n; (n = recv(client, buffer, sizeof buffer, 0)) > 0;)
        received += static_cast<int>(n);
    }
    return std::min(received, 250);
  });
  ASSERT_GT(child, 0);
  close(ready[1]);
  close(stop[0]);
  char byte = 0;
  const bool squatting = read(ready[0], &byte, 1) == 1;
  bool first = false;
  if (squatting) {
    InstanceLock later(name);
    first = later.first();
    later.askFirstCopy(); // as a copy that took itself for a later one would
  }
  close(stop[1]);
  close(ready[0]);
  const int received = exitStatusOf(child);
  ASSERT_TRUE(squatting) << "the other user could not take the name (status " << received << ")";
  EXPECT_TRUE(first);
  EXPECT_EQ(received, 0) << "bytes the other user received";
}

TEST(InstanceLock, HolderAnswersNoRequestOfAnotherUser) {
  if (!test::isRoot()) GTEST_SKIP() << "needs root to run a process as another user";
  const std::string name = "zelvo instance lock asked by another user";
  int requests = 0;
  InstanceLock holder(name);
  ASSERT_TRUE(holder.first());
  holder.serve([&requests] { ++requests; });
  const std::optional<UnixAddress> address = boundAddress(name);
  ASSERT_TRUE(address);

  // Another user asks the way a later copy does.
  const int asked = exitStatusOf(startAsAnotherUser([&address] {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0) return 1;
    static const char kRequest[] = "present\n";
    return write(fd, kRequest, sizeof kRequest - 1) == sizeof kRequest - 1 ? 0 : 2;
  }));
  ASSERT_EQ(asked, 0);
  serveUntil([] { return false; }, 200);
  // This user's request still comes through, and it is the only one.
  InstanceLock later(name);
  ASSERT_FALSE(later.first());
  later.askFirstCopy();
  EXPECT_TRUE(serveUntil([&] { return requests > 0; }, 1000));
  EXPECT_EQ(requests, 1);
}
#endif

} // namespace
} // namespace zelvo::platform
