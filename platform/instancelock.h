#pragma once
// Single-instance stand-in: the first copy of the program holds a name for its user; a later copy of
// the same user finds the name taken, asks the first copy to bring its window to the front, and leaves.
// Copies of other users neither stop nor hear from each other.

#include <functional>
#include <memory>
#include <string>

namespace zelvo::platform {

class InstanceLock {
public:
  // The name is the window's title (UTF-8).
  explicit InstanceLock(const std::string& name);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Whether this copy runs as the user's first. A lock that could not be taken for another reason
  // (on Linux also a name held by another user) also says true: a broken lock must not keep the
  // program from starting.
  bool first() const;
  // From a later copy: asks the holder to present its window.
  void askFirstCopy() const;
  // From the holder: onRequest runs on the calling thread's main loop for each request of a later
  // copy of the same user (on Windows the later copy brings the window titled with the name forward
  // itself).
  void serve(std::function<void()> onRequest);

  struct State;

private:
  std::unique_ptr<State> state_;
};

} // namespace zelvo::platform
