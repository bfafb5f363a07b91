#pragma once
// Network namespaces for integration tests (root only). Each object makes a fresh namespace with its
// loopback up and removes it, with every process started in it, when destroyed. Nothing the tests send
// can leave the namespace: it has no route to the machine's network.

#include <string>
#include <sys/types.h>
#include <vector>

namespace zelvo::test {

class NetNamespace {
public:
  // Creates "zelvo-<tag>-<pid>-<n>"; ok() tells whether that worked.
  explicit NetNamespace(const std::string& tag);
  ~NetNamespace();
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }

  // Moves the calling thread into the namespace; threads it starts afterwards live there too.
  bool enter();
  // Runs a shell command inside the namespace and waits; returns its exit status.
  int run(const std::string& command) const;
  // Starts a shell command inside the namespace in the background; it is killed with the namespace.
  pid_t spawn(const std::string& command);
  void kill(pid_t pid);
  // Sends the signal to a started command's process group and waits for it to end.
  void stop(pid_t pid, int signal);

private:
  std::string name_;
  bool ok_ = false;
  std::vector<pid_t> children_;
};

// Runs a shell command on the host and returns its exit status.
int shell(const std::string& command);

} // namespace zelvo::test
