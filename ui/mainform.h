#pragma once
// The main window's logic without a toolkit: TMainForm's components as plain records in the form's
// order, the fixed layout, the page builders, the digit and progress display, and the buttons and keys.
//
// Everything here runs on the window thread. The model changes records only; what needs the engine,
// the shell, a message box, a timer or a web view is returned to the view as an action or a reaction,
// and the view performs it. A later GTK view draws the records; ui/headless.h composes them into a PNG.

#include "engine/testrecord.h"
#include "ui/imageloader.h"
#include "ui/picture.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo {

// The window's current page; the numbers are those used throughout (3 and 9 are never shown).
enum PageKind : int {
  PAGE_WAITING = 0,
  PAGE_VERSION_BLOCKED = 1,
  PAGE_VERSION_OUTDATED = 2,
  PAGE_TERMS = 4,
  PAGE_TESTING = 5,
  PAGE_RESULT = 6,
  PAGE_SETUP_GUIDE = 7,
  PAGE_ANNOUNCEMENT = 8,
  PAGE_ABOUT = 10,
};

inline constexpr int kClientWidth = 520;
// Texts of the window itself (UTF-8): its title and the buttons of the retry boxes.
inline constexpr const char* kWindowTitle = "Zelvo測速軟體 Kestrova(試用版)";
inline constexpr const char* kRetryLabel = "重試(_R)";
inline constexpr const char* kCancelLabel = "取消";
inline constexpr int kClientHeight = 420;

enum class ComponentKind { Image, ImageButton, Label, Memo, WebBrowser, Timer };

// One component of the form. Place and size are kept for every kind; `image` carries width, height and
// auto size for all of them (so vLoadImage can resize an auto-size image) and the picture for images.
struct Component {
  std::string name;
  ComponentKind kind = ComponentKind::Image;
  int left = 0;
  int top = 0;
  bool visible = true;
  ImageComponent image;
  std::string pictureName; // the resource last loaded into `image`; empty before the first
  // Labels: caption (CP950) and font; the memo: its font and content (CP950, line breaks start lines).
  std::string caption;
  std::string fontName;
  int fontPx = 0;
  bool bold = false;
  std::string text;
  // Timers.
  bool enabled = false;
  int intervalMs = 0;

  int width() const { return image.width; }
  int height() const { return image.height; }
  // An auto-size component that holds a picture keeps the picture's size, as the toolkit's own
  // image does; otherwise the size is taken.
  void setSize(int w, int h) {
    const bool fitted = image.autoSize && !image.picture.empty();
    image.width = fitted ? image.picture.width : w;
    image.height = fitted ? image.picture.height : h;
  }
  void place(int l, int t) {
    left = l;
    top = t;
  }
  bool isImage() const { return kind == ComponentKind::Image || kind == ComponentKind::ImageButton; }
};

// The page buttons and the report button.
enum class Button { Previous, Next, Cancel, Report };
// The button a component is, if it is one.
std::optional<Button> buttonOf(std::string_view componentName);
enum class ButtonStep; // ui/buttons.h

// What a button, key or link leaves for the view to do after the records were changed. The Show*
// actions have already rebuilt the page; they tell the view which page it now shows (the testing
// page opens the processor-load query, for example).
enum class FormAction {
  None,
  Close,                // vCloseApp
  Restart,              // restartTest: iNICConnect, then beginRestart() and vStartTest, or the code-8 box
  OpenDownloadAndClose, // shell opens downloadUrl, then a close request
  OpenReport,           // shell opens reportUrl in a normal window; the page stays
  ShowTerms,
  ShowSetupGuide,
  ShowAnnouncement,
  ShowTesting,
  ShowAbout,
};

// A message box the view shows: caption and text are captionTable[code] and textTable[code].
enum class BoxFollowUp {
  Stay,         // nothing after the box
  RetryOrClose, // retry: restartTest; any other answer: post a close request
  Close,        // post a close request
  CloseApp,     // vCloseApp
};
struct FormBox {
  int code = 0;
  unsigned flags = 0; // 0x15 retry/cancel with error icon, 0x10 OK with error icon, 0x40 information
  BoxFollowUp followUp = BoxFollowUp::Stay;
};

// The view's part of the result message.
struct ResultReaction {
  std::optional<FormBox> box;
  bool navigateAdvert = false; // the advertisement panel navigates to adUrl2
};

// The view's part of message 1035 (the service document is stored).
struct ConfigurationReaction {
  bool navigateInfo = true;    // the information panel navigates to infoUrl
  bool navigateAdvert = false; // the advertisement panel navigates to adUrl1 (else it was collapsed)
};

// Only web addresses are loaded into a panel or handed to the desktop: anything else could start a
// program or read local files.
bool IsWebAddress(std::string_view address);

// The view's part of the version verdict. Giving the run up and acknowledging code 11 are the run
// controller's (frontend/runcontroller.h), which handles the message before the view does.
struct VerdictReaction {
  std::optional<FormBox> box;
  // Verdict 0: collapse the advertisement panel after the box, unless the user chose Retry.
  bool collapseAdvertUnlessRetry = false;
};

class FormModel {
public:
  explicit FormModel(TestRecord& record);

  FormModel(const FormModel&) = delete;
  FormModel& operator=(const FormModel&) = delete;

  // Components in the form's order, which is also the drawing order.
  const std::vector<Component>& components() const { return components_; }
  // Lookup by name; nullptr for a name the form does not have.
  Component* find(std::string_view name);
  const Component* find(std::string_view name) const;
  // Lookup of a name the form is known to have; an unknown name is a programming error and aborts.
  Component& get(std::string_view name);
  const Component& get(std::string_view name) const;

  // The record part of showing the form at start-up: layout, the operator logo, then prepareTestRun.
  void startUp();
  void applyLayout();
  void hideAllPanels();
  // The record part of preparing a run: layout, the connecting page, the web panels collapsed. The
  // latency sequence and the record's resets are the caller's.
  void prepareTestRun();

  // The component that receives a pointer event at client point (x, y): a visible memo or web panel
  // (real widgets lie above the drawing), else the last visible label or image in the form's order
  // whose rectangle holds the point, whether or not it shows a picture; nullptr over the bare form.
  const Component* componentAt(int x, int y) const;

  void showVersionBlockedPage();
  void showVersionOutdatedPage();
  void showTermsPage();
  void showAnnouncementPage();
  void showSetupGuidePage();
  void showAboutPage();
  // Also enables TimerExecute and, once the advertisement has loaded, sizes its panel; opening the
  // processor-load query is the view's.
  void showTestingPage();
  void showSpeedDigits();

  // Message 1025: the page decision.
  VerdictReaction onVersionVerdict(int verdict);
  // Message 1029 with its outcome and the result page address (outcome 1); `nowSeconds` is the
  // caller's clock, kept as phaseStart when a report was accepted.
  ResultReaction onResult(int outcome, const std::string& resultUrl, double nowSeconds);
  // Message 1032 (test not permitted): the advertisement collapses; the box of the engine's code,
  // then vCloseApp.
  FormBox onDenied();
  // Message 1035: the web panels are given their addresses.
  ConfigurationReaction onConfiguration();
  // The advertisement panel completed a document: adLoaded, and the size the current page gives it.
  void onAdDocumentComplete();
  // Message 1030: download (1) or upload (0) and the percentage done.
  void onProgress(int direction, int percent);
  // Message 1036: the analysis caption; `nowSeconds` is the caller's clock, kept as phaseStart.
  void onAnalysis(double nowSeconds);

  // The record part of restartTest once an adapter was found: previousPage 6, every panel hidden,
  // TimerDisable off, prepareTestRun.
  void beginRestart();

  // TimerExecute's tick: disables the timer; the caller then runs vExecute.
  void onTimerExecuteTick();
  // TimerDisable's tick: true when the unattended close is due (vCloseApp).
  bool onTimerDisableTick(double nowSeconds) const;

  // Buttons, link and keys (ui/buttons.cpp).
  void onMouseMove(Button button);
  void onMouseLeave(std::string_view componentName);
  FormAction onMouseDown(Button button);
  FormAction onCopyrightClick();
  FormAction onKeyPress(char key);

  // Form state.
  PageKind page() const { return page_; }
  void setPage(PageKind page) { page_ = page; }
  int previousPage() const { return previousPage_; }
  void setPreviousPage(int page) { previousPage_ = page; }
  int screenDpi() const { return screenDpi_; }
  void setScreenDpi(int dpi) { screenDpi_ = dpi; }
  // The window's outer width (client area plus frame), which places the product logo on the result page.
  void setOuterWidth(int width) { outerWidth_ = width; }
  bool adLoaded() const { return adLoaded_; }
  void setAdLoaded(bool loaded) { adLoaded_ = loaded; }
  bool resultWithReport() const { return resultWithReport_; }
  bool autoCloseArmed() const { return autoCloseArmed_; }
  double phaseStart() const { return phaseStart_; }
  void setPhaseStart(double seconds) { phaseStart_ = seconds; }
  const std::string& reportUrl() const { return reportUrl_; }
  const std::string& downloadUrl() const { return downloadUrl_; }
  void setVersionTexts(std::string fileVersion, std::string releaseDate);

  // Pictures that failed to load since the last call (missing resource, damaged data), in order; the
  // view shows each in its error box. A failed load leaves the component's previous picture.
  std::vector<LoadResult> takeLoadFailures();

  TestRecord& record() { return record_; }

private:
  void load(std::string_view component, std::string_view name, std::string_view type = "PNG");
  void show(std::string_view component) { get(component).visible = true; }
  void hide(std::string_view component) { get(component).visible = false; }
  void showDigitRow(const char* const names[8], double& speed);
  FormAction agree();
  FormAction runStep(ButtonStep step, int previousPage);

  TestRecord& record_;
  std::vector<Component> components_;
  std::vector<LoadResult> loadFailures_;
  PageKind page_ = PAGE_WAITING;
  int previousPage_ = 0;
  int screenDpi_ = 96;
  int outerWidth_ = kClientWidth + 6;
  bool adLoaded_ = false;
  bool resultWithReport_ = false;
  bool autoCloseArmed_ = false;
  double phaseStart_ = 0.0;
  std::string reportUrl_, downloadUrl_;
  std::string fileVersionText_, releaseDateText_;
};

// The digit components of each row in the order thousands, hundreds, tens, ones, point, tenths,
// hundredths, unit.
extern const char* const kDownloadDigitRow[8];
extern const char* const kUploadDigitRow[8];

} // namespace zelvo
