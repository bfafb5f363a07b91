#pragma once
// The engine's window interface on a GLib main context: a post queues the message for the context's
// thread, a send queues it and waits until it was handled. Once the front-end detaches, messages are
// dropped and their texts released, and a waiting send returns.

#include "engine/window.h"

#include <functional>
#include <memory>

typedef struct _GMainContext GMainContext;

namespace zelvo {

class MainLoopWindow : public EngineWindow {
public:
  // Runs on the context's thread; it owns the message's texts (TakeText).
  using Handler = std::function<void(unsigned message, WParam wParam, LParam lParam)>;

  // A null context means the thread-default (or global default) context of the creating thread.
  MainLoopWindow(GMainContext* context, Handler handler);
  ~MainLoopWindow() override;

  void post(unsigned message, WParam wParam, LParam lParam) override;
  void send(unsigned message, WParam wParam, LParam lParam) override;

  // Stops delivery; call on the context's thread before the handler's objects go away.
  void detach();

  struct State; // shared with queued deliveries, which may outlive the window

private:
  std::shared_ptr<State> state_;
};

} // namespace zelvo
