#include "platform/thread.h"

#include <chrono>
#include <process.h>
#include <windows.h>

namespace zelvo::platform {

namespace {
struct Start {
  std::shared_ptr<Thread> self;
  void (*run)(std::shared_ptr<Thread>&);
};

unsigned __stdcall threadMain(void* argument) {
  Start* start = static_cast<Start*>(argument);
  start->run(start->self);
  delete start; // drops the last reference when the creator let go: free on terminate
  return 0;
}
} // namespace

void Thread::Resume() {
  if (started_.exchange(true)) return;
  auto* start = new Start{shared_from_this(), [](std::shared_ptr<Thread>& self) {
                            self->Execute();
                            {
                              std::lock_guard<std::mutex> lock(self->mutex_);
                              self->finished_ = true;
                            }
                            self->finishedCv_.notify_all();
                          }};
  // _beginthreadex rather than CreateThread so the C runtime's per-thread state is set up.
  uintptr_t handle = ::_beginthreadex(nullptr, 0, &threadMain, start, 0, nullptr);
  if (handle == 0) {
    delete start;
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    return;
  }
  ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

void SleepMs(int ms) {
  if (ms > 0) ::Sleep(static_cast<DWORD>(ms));
}

} // namespace zelvo::platform
