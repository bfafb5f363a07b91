#include "platform/thread.h"

#include <chrono>
#include <thread>

namespace zelvo::platform {

void Thread::Resume() {
  if (started_.exchange(true)) return;
  std::shared_ptr<Thread> self = shared_from_this();
  std::thread([self]() mutable {
    self->Execute();
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->finished_ = true;
    }
    self->finishedCv_.notify_all();
    self.reset(); // the last reference frees the object here, on its own thread
  }).detach();
}

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace zelvo::platform
