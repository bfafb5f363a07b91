#pragma once
// The engine's window interface on a main loop: a post queues the message for the loop's thread, a
// send queues it and waits until it was handled. Once the front-end detaches, messages are
// dropped and their texts released, and a waiting send returns.

#include "engine/window.h"
#include "platform/mainloop.h"

#include <functional>
#include <memory>

namespace zelvo {

class MainLoopWindow : public EngineWindow {
public:
  // Runs on the loop's thread; it owns the message's texts (TakeText).
  using Handler = std::function<void(unsigned message, WParam wParam, LParam lParam)>;

  // A null loop means the creating thread's current loop.
  MainLoopWindow(std::shared_ptr<platform::MainLoop> loop, Handler handler);
  ~MainLoopWindow() override;

  void post(unsigned message, WParam wParam, LParam lParam) override;
  void send(unsigned message, WParam wParam, LParam lParam) override;

  // Stops delivery; call on the loop's thread before the handler's objects go away.
  void detach();

  struct State; // shared with queued deliveries, which may outlive the window

private:
  std::shared_ptr<State> state_;
};

} // namespace zelvo
