#pragma once
// The engine's only way to the window: posted and sent messages with the numbers of testrecord.h.
// A text travels as an owned heap object: the sender releases a std::unique_ptr<std::string> into
// the parameter (NewText), the receiver takes it back (TakeText). Which parameters carry texts is fixed
// by the message contract (MessageTexts).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zelvo {

using WParam = std::uintptr_t;
using LParam = std::intptr_t;

class EngineWindow {
public:
  virtual ~EngineWindow() = default;
  // Queues the message for the window's thread and returns at once. Callable from any thread. A
  // window that can no longer deliver must release the message's texts (ReleaseMessageTexts).
  virtual void post(unsigned message, WParam wParam, LParam lParam) = 0;
  // Queues the message and waits until the window has handled it.
  virtual void send(unsigned message, WParam wParam, LParam lParam) = 0;
};

inline LParam NewText(std::string text) {
  return reinterpret_cast<LParam>(std::make_unique<std::string>(std::move(text)).release());
}
inline WParam NewTextW(std::string text) {
  return static_cast<WParam>(NewText(std::move(text)));
}

// Takes ownership of a text parameter; null for a parameter of 0.
inline std::unique_ptr<std::string> TakeText(LParam parameter) {
  return std::unique_ptr<std::string>(reinterpret_cast<std::string*>(parameter));
}
inline std::unique_ptr<std::string> TakeTextW(WParam parameter) {
  return TakeText(static_cast<LParam>(parameter));
}

struct TextParameters {
  bool wParam = false;
  bool lParam = false;
};
// Which parameters of an engine message own a text: 1025 with wParam 1, 2 or 3 (lParam, may be 0),
// 1029 with wParam 1 (lParam), 1034 (both).
TextParameters MessageTexts(unsigned message, WParam wParam);
// Takes over the texts a message carries (nothing for a parameter without one, or one of 0).
struct MessageTextValues {
  std::optional<std::string> wText, lText;
};
MessageTextValues TakeMessageTexts(unsigned message, WParam wParam, LParam lParam);
// Frees the texts a message carries, for a receiver that drops it.
void ReleaseMessageTexts(unsigned message, WParam wParam, LParam lParam);

} // namespace zelvo
