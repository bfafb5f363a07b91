#pragma once
// The button and key tables of the main window, as data. The handlers that use them are members of
// FormModel (ui/mainform.h); they run on the window thread.

#include "ui/mainform.h"

#include <span>

namespace zelvo {

// The resting picture a button shows on a page; the pointer-over picture is the name with "_OVER"
// and the pressed one the name with "_OUT". The test-again button is hidden when pressed instead.
struct ButtonPictures {
  int page;
  Button button;
  const char* rest;
  bool hiddenWhenPressed = false;
};

// What a press or a key does once its picture is changed.
enum class ButtonStep {
  Close,                // vCloseApp
  OpenDownloadAndClose, // openDownloadAndClose
  Terms,                // showTermsPage
  SetupGuide,           // showSetupGuidePage
  Agree,                // termsAccepted 1, previousPage 4, then the announcement or the testing page
  Testing,              // showTestingPage
  TestAgain,            // hide the test-again button, restartTest
  OpenReport,           // the shell opens reportUrl
};

inline constexpr int kKeepPreviousPage = -1;

struct PressBinding {
  int page;
  Button button;
  ButtonStep step;
  int previousPage = kKeepPreviousPage; // assigned before the step
};

struct KeyBinding {
  int page;
  char key; // upper case; lower case is accepted as well
  ButtonStep step;
  int previousPage = kKeepPreviousPage;
  const char* nextPicture = nullptr; // loaded into ImgNext before the step
};

std::span<const ButtonPictures> buttonPictureTable();
std::span<const PressBinding> pressTable();
std::span<const KeyBinding> keyTable();

// The entry of the picture table for a page and button, or nullptr when the button shows nothing
// there.
const ButtonPictures* buttonPicturesFor(int page, Button button);

// The component of a button.
const char* buttonComponent(Button button);

} // namespace zelvo
