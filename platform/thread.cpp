#include "platform/thread.h"

#include <chrono>

namespace zelvo::platform {

bool Thread::Finished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

bool Thread::WaitFor(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return finishedCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return finished_; });
}

} // namespace zelvo::platform
