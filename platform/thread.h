#pragma once
// Thread class stand-in: created suspended, started with Resume, asked to stop with Terminate, and
// kept alive by its own thread until Execute returns (free on terminate: when the creator has dropped
// its reference, the object is destroyed on its own thread as Execute ends).

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace zelvo::platform {

class Thread : public std::enable_shared_from_this<Thread> {
public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  virtual ~Thread() = default;

  // Starts Execute on a new thread; a second call does nothing. The object must be owned by a
  // shared_ptr (the running thread holds one until Execute returns).
  void Resume();
  // Asks Execute to stop at its next look; never waits.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  bool Finished() const;
  // Waits until Execute has returned; false when that took longer than timeoutMs.
  bool WaitFor(int timeoutMs) const;

protected:
  // Runs on the thread started by Resume.
  virtual void Execute() = 0;

private:
  std::atomic<bool> terminated_{false};
  std::atomic<bool> started_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable finishedCv_;
  bool finished_ = false;
};

// Sleeps the calling thread.
void SleepMs(int ms);

} // namespace zelvo::platform
