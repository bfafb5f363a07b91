#pragma once
// Main loop stand-in: calls posted to a thread's loop from any thread, repeating timers, running and
// quitting. On Linux a loop is a GLib main context, so the toolkit's own loop drives it; on Windows it
// is a message-only window of the loop's thread and its message loop. Neither runs ICMP completions:
// those wait for the prober's tick (SleepEx in platform/icmp.h).
// Besides the loop itself: termination requests (Ctrl-C) and a line of console input delivered as
// calls on a loop, for the console front-end.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zelvo::platform {

class MainLoop {
public:
  using Call = std::function<void()>;
  using TimerId = std::uint64_t; // 0 is never a timer

  // A loop of its own, belonging to the calling thread (on Windows its window is created here).
  static std::shared_ptr<MainLoop> create();
  // The calling thread's loop: on Linux the thread-default context, else the global default one (the
  // toolkit's); on Windows one per thread, made on first use. The same object while it is kept.
  static std::shared_ptr<MainLoop> current();

  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  // Any thread: queues the call; calls run on the loop's thread one at a time, in the order they were
  // posted. Calls still queued when the loop goes away are dropped, not run.
  void post(Call call);

  // The loop's thread: runs the call every intervalMs until removed. Removing is safe inside the call
  // and for a timer that no longer exists.
  TimerId addTimer(int intervalMs, Call call);
  void removeTimer(TimerId id);

  // The loop's thread: dispatches until quit() is called (quit before run makes run return at once).
  void run();
  // Any thread.
  void quit();
  // The loop's thread: one round of whatever is ready, waiting for something first when mayBlock;
  // true when something was dispatched.
  bool iterate(bool mayBlock);

  struct Impl;
  // For the platform's own files; Impl is defined only there.
  Impl* impl() const { return impl_.get(); }

private:
  explicit MainLoop(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Undoes a registration (a signal handler, a console read) when destroyed; destroy it on the loop's
// thread.
class Registration {
public:
  virtual ~Registration() = default;
};

// Ctrl-C and termination requests (SIGINT and SIGTERM; the console's control events) arrive as calls
// on the loop, instead of ending the program, until the registration is destroyed.
std::unique_ptr<Registration> OnTerminationRequest(std::shared_ptr<MainLoop> loop, MainLoop::Call call);

// Reads one line of standard input without blocking the loop. The call runs on the loop's thread with
// the line (without its line end), or with nothing at the end of input or on an error; never once the
// registration is destroyed.
std::unique_ptr<Registration> ReadConsoleLine(std::shared_ptr<MainLoop> loop,
                                              std::function<void(std::optional<std::string>)> call);

} // namespace zelvo::platform
