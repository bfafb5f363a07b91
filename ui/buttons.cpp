#include "ui/buttons.h"

#include <cctype>
#include <string>

namespace zelvo {

namespace {

using B = Button;
using S = ButtonStep;

const ButtonPictures kPictures[] = {
    {PAGE_VERSION_BLOCKED, B::Next, "BUTTON_D"},
    {PAGE_VERSION_BLOCKED, B::Cancel, "BUTTON_C"},
    {PAGE_VERSION_OUTDATED, B::Previous, "BUTTON_N"},
    {PAGE_VERSION_OUTDATED, B::Next, "BUTTON_D"},
    {PAGE_VERSION_OUTDATED, B::Cancel, "BUTTON_C"},
    {PAGE_TERMS, B::Previous, "BUTTON_T"},
    {PAGE_TERMS, B::Next, "BUTTON_Y"},
    {PAGE_TERMS, B::Cancel, "BUTTON_C"},
    {PAGE_TESTING, B::Cancel, "BUTTON_Q"},
    {PAGE_RESULT, B::Next, "BUTTON_RT", true},
    {PAGE_RESULT, B::Cancel, "BUTTON_Q"},
    {PAGE_RESULT, B::Report, "BUTTON_R"},
    {PAGE_SETUP_GUIDE, B::Cancel, "BUTTON_P"},
    {PAGE_ANNOUNCEMENT, B::Next, "BUTTON_N"},
    {PAGE_ANNOUNCEMENT, B::Cancel, "BUTTON_C"},
    {PAGE_ABOUT, B::Cancel, "BUTTON_P"},
};

const PressBinding kPresses[] = {
    {PAGE_VERSION_BLOCKED, B::Next, S::OpenDownloadAndClose},
    {PAGE_VERSION_OUTDATED, B::Next, S::OpenDownloadAndClose},
    {PAGE_VERSION_OUTDATED, B::Previous, S::Terms},
    {PAGE_VERSION_BLOCKED, B::Cancel, S::Close},
    {PAGE_VERSION_OUTDATED, B::Cancel, S::Close},
    {PAGE_TERMS, B::Cancel, S::Close},
    {PAGE_ANNOUNCEMENT, B::Cancel, S::Close},
    {PAGE_TERMS, B::Previous, S::SetupGuide, PAGE_TERMS},
    {PAGE_TERMS, B::Next, S::Agree},
    {PAGE_TESTING, B::Cancel, S::Close},
    {PAGE_RESULT, B::Cancel, S::Close},
    {PAGE_RESULT, B::Next, S::TestAgain},
    {PAGE_RESULT, B::Report, S::OpenReport},
    {PAGE_SETUP_GUIDE, B::Cancel, S::Terms, PAGE_SETUP_GUIDE},
    {PAGE_ANNOUNCEMENT, B::Next, S::Testing, PAGE_ANNOUNCEMENT},
    {PAGE_ABOUT, B::Cancel, S::Terms, PAGE_ABOUT},
    {PAGE_WAITING, B::Cancel, S::Close},
    {3, B::Cancel, S::Close},
    {9, B::Cancel, S::Close},
};

const KeyBinding kKeys[] = {
    {PAGE_WAITING, 'Q', S::Close},
    {PAGE_VERSION_BLOCKED, 'C', S::Close},
    {PAGE_VERSION_BLOCKED, 'D', S::OpenDownloadAndClose},
    {PAGE_VERSION_OUTDATED, 'C', S::Close},
    {PAGE_VERSION_OUTDATED, 'D', S::OpenDownloadAndClose},
    {PAGE_VERSION_OUTDATED, 'N', S::Terms},
    {PAGE_TERMS, 'A', S::Agree, kKeepPreviousPage, "BUTTON_Y_OUT"},
    {PAGE_TERMS, 'C', S::Close},
    {PAGE_TERMS, 'T', S::SetupGuide},
    {PAGE_TESTING, 'Q', S::Close},
    {PAGE_RESULT, 'Q', S::Close},
    {PAGE_RESULT, 'R', S::OpenReport},
    {PAGE_RESULT, 'T', S::TestAgain},
    {PAGE_SETUP_GUIDE, 'P', S::Terms},
    {PAGE_ANNOUNCEMENT, 'C', S::Close},
    {PAGE_ANNOUNCEMENT, 'N', S::Testing},
    {PAGE_ABOUT, 'P', S::Terms, PAGE_ABOUT},
    {PAGE_ABOUT, 'Q', S::Close},
};

const PressBinding* pressFor(int page, Button button) {
  for (const auto& p : kPresses)
    if (p.page == page && p.button == button) return &p;
  return nullptr;
}

} // namespace

std::span<const ButtonPictures> buttonPictureTable() {
  return kPictures;
}
std::span<const PressBinding> pressTable() {
  return kPresses;
}
std::span<const KeyBinding> keyTable() {
  return kKeys;
}

const ButtonPictures* buttonPicturesFor(int page, Button button) {
  for (const auto& p : kPictures)
    if (p.page == page && p.button == button) return &p;
  return nullptr;
}

const char* buttonComponent(Button button) {
  switch (button) {
  case Button::Previous:
    return "ImgPrevious";
  case Button::Next:
    return "ImgNext";
  case Button::Cancel:
    return "ImgCancel";
  case Button::Report:
    return "ImgReport";
  }
  return "ImgCancel";
}

// Every move loads the picture again, as the buttons keep no state of their own.
void FormModel::onMouseMove(Button button) {
  if (const ButtonPictures* p = buttonPicturesFor(page_, button))
    load(buttonComponent(button), std::string(p->rest) + "_OVER");
}

void FormModel::onMouseLeave(std::string_view componentName) {
  for (Button button : {Button::Previous, Button::Next, Button::Cancel, Button::Report}) {
    if (componentName != buttonComponent(button)) continue;
    if (const ButtonPictures* p = buttonPicturesFor(page_, button)) load(buttonComponent(button), p->rest);
    return;
  }
}

FormAction FormModel::agree() {
  record_.termsAccepted = 1;
  previousPage_ = PAGE_TERMS;
  if (record_.announcementText.empty()) {
    showTestingPage();
    return FormAction::ShowTesting;
  }
  showAnnouncementPage();
  return FormAction::ShowAnnouncement;
}

// Shared by presses and keys once the picture has changed.
FormAction FormModel::runStep(ButtonStep step, int previousPage) {
  if (previousPage != kKeepPreviousPage) previousPage_ = previousPage;
  switch (step) {
  case S::Close:
    return FormAction::Close;
  case S::OpenDownloadAndClose:
    return FormAction::OpenDownloadAndClose;
  case S::Terms:
    showTermsPage();
    return FormAction::ShowTerms;
  case S::SetupGuide:
    showSetupGuidePage();
    return FormAction::ShowSetupGuide;
  case S::Agree:
    return agree();
  case S::Testing:
    showTestingPage();
    return FormAction::ShowTesting;
  case S::TestAgain:
    hide("ImgNext");
    return FormAction::Restart;
  case S::OpenReport:
    return FormAction::OpenReport;
  }
  return FormAction::None;
}

FormAction FormModel::onMouseDown(Button button) {
  const PressBinding* press = pressFor(page_, button);
  const ButtonPictures* pictures = buttonPicturesFor(page_, button);
  const char* component = buttonComponent(button);
  auto showPressed = [&] {
    if (!pictures) return;
    if (pictures->hiddenWhenPressed)
      hide(component);
    else
      load(component, std::string(pictures->rest) + "_OUT");
  };
  if (!press) return FormAction::None;
  // The report button acts first; the shell opens the page after this returns, so the order only
  // decides which picture is current when the action is taken.
  if (button == Button::Report) {
    const FormAction action = runStep(press->step, press->previousPage);
    showPressed();
    return action;
  }
  showPressed();
  return runStep(press->step, press->previousPage);
}

FormAction FormModel::onCopyrightClick() {
  if (page_ != PAGE_TERMS) return FormAction::None;
  showAboutPage();
  return FormAction::ShowAbout;
}

FormAction FormModel::onKeyPress(char key) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(key)));
  for (const auto& binding : kKeys) {
    if (binding.page != page_ || binding.key != upper) continue;
    if (binding.nextPicture) load("ImgNext", binding.nextPicture);
    return runStep(binding.step, binding.previousPage);
  }
  return FormAction::None;
}

} // namespace zelvo
