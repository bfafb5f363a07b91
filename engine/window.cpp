#include "engine/window.h"

#include "engine/testrecord.h"

namespace zelvo {

TextParameters MessageTexts(unsigned message, WParam wParam) {
  switch (message) {
  case kMsgVersion:
    return {false, wParam >= 1 && wParam <= 3};
  case kMsgResult:
    return {false, wParam == 1};
  case kMsgNotice:
    return {true, true};
  default:
    return {};
  }
}

MessageTextValues TakeMessageTexts(unsigned message, WParam wParam, LParam lParam) {
  MessageTextValues values;
  TextParameters texts = MessageTexts(message, wParam);
  if (texts.wParam)
    if (auto t = TakeTextW(wParam)) values.wText = *t;
  if (texts.lParam)
    if (auto t = TakeText(lParam)) values.lText = *t;
  return values;
}

void ReleaseMessageTexts(unsigned message, WParam wParam, LParam lParam) {
  TextParameters texts = MessageTexts(message, wParam);
  if (texts.wParam) TakeTextW(wParam);
  if (texts.lParam) TakeText(lParam);
}

} // namespace zelvo
