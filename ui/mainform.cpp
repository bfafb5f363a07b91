#include "ui/mainform.h"

#include "frontend/speeddisplay.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zelvo {

const char* const kDownloadDigitRow[8] = {"ImgDown1000", "ImgDown100",  "ImgDown10",    "ImgDown1",
                                          "ImgDowndot",  "ImgDowndot1", "ImgDowndot01", "ImgDownUnit"};
const char* const kUploadDigitRow[8] = {"ImgUp1000", "ImgUp100",  "ImgUp10",    "ImgUp1",
                                        "ImgUpdot",  "ImgUpdot1", "ImgUpdot01", "ImgUpUnit"};

namespace {

using K = ComponentKind;

Component make(const char* name, K kind, int left, int top, int width = 0, int height = 0,
               bool autoSize = false) {
  Component c;
  c.name = name;
  c.kind = kind;
  c.left = left;
  c.top = top;
  c.image.width = width;
  c.image.height = height;
  c.image.autoSize = autoSize;
  return c;
}

Component label(const char* name, int left, int top, int width, int height, const char* font, int px) {
  Component c = make(name, K::Label, left, top, width, height);
  c.fontName = font;
  c.fontPx = px;
  c.bold = true;
  return c;
}

Component timer(const char* name, int intervalMs) {
  Component c = make(name, K::Timer, 0, 0);
  c.intervalMs = intervalMs;
  c.visible = false;
  return c;
}

// The form definition: every component with its design place, in the form's order.
std::vector<Component> formDefinition() {
  std::vector<Component> c;
  c.push_back(make("ImgBackground", K::Image, 0, 0, kClientWidth, kClientHeight));
  c.push_back(label("labelResultSerial", 160, 312, 321, 17, "Arial", 12));
  c.push_back(make("ImgNotice", K::Image, 56, 136, 0, 0, true));
  c.push_back(make("ImgCopyright", K::Image, 349, 273, 0, 0, true));
  c.push_back(make("ImgPrevious", K::ImageButton, 137, 346, 0, 0, true));
  c.push_back(make("ImgNext", K::ImageButton, 226, 346, 0, 0, true));
  c.push_back(make("ImgCancel", K::ImageButton, 325, 346, 0, 0, true));
  c.push_back(make("ImgQrt", K::Image, 2, 346, 0, 0, true));
  c.push_back(make("ImgTitle", K::Image, 144, 16, 176, 33));
  c.push_back(make("ImgCenter", K::Image, 120, 192, 284, 41));
  c.push_back(make("ImgConnecting", K::Image, 40, 192, 57, 57));
  c.push_back(make("ImgAlarm", K::Image, 32, 56, 473, 49));
  c.push_back(make("ImgBar", K::Image, 3, 305, 401, 33));
  c.push_back(make("ImgStatus", K::Image, 8, 241, 193, 25));
  c.push_back(make("ImgRotation", K::Image, 208, 160, 105, 105));
  c.push_back(make("ImgTesting", K::Image, 152, 112, 241, 41));
  c.push_back(make("ImgDownlinkTitle", K::Image, 0, 56, 257, 25));
  c.push_back(make("ImgDown1000", K::Image, 24, 88, 34, 55));
  c.push_back(make("ImgDown100", K::Image, 56, 88, 34, 55));
  c.push_back(make("ImgDown10", K::Image, 88, 88, 34, 55));
  c.push_back(make("ImgDown1", K::Image, 120, 88, 34, 55));
  c.push_back(make("ImgDowndot1", K::Image, 168, 88, 34, 55));
  c.push_back(make("ImgDowndot01", K::Image, 200, 88, 34, 55));
  c.push_back(make("ImgDownUnit", K::Image, 233, 117, 75, 31));
  c.push_back(make("ImgDowndot", K::Image, 152, 128, 17, 14));
  c.push_back(make("ImgUp100", K::Image, 56, 192, 34, 55));
  c.push_back(make("ImgUp1000", K::Image, 24, 192, 34, 55));
  c.push_back(make("ImgUp10", K::Image, 88, 192, 34, 55));
  c.push_back(make("ImgUp1", K::Image, 120, 192, 34, 55));
  c.push_back(make("ImgUpdot", K::Image, 152, 232, 17, 14));
  c.push_back(make("ImgUpdot1", K::Image, 168, 192, 34, 55));
  c.push_back(make("ImgUpdot01", K::Image, 200, 192, 34, 55));
  c.push_back(make("ImgUpUnit", K::Image, 232, 222, 75, 31));
  c.push_back(make("ImgUplinkTitle", K::Image, 0, 160, 200, 25));
  c.push_back(make("ImgReport", K::ImageButton, 0, 272, 201, 33));
  c.push_back(make("ImgLogo", K::Image, 0, 152, 257, 113));
  c.push_back(label("labelLicense", 256, 160, 81, 25, "MS Sans Serif", 10));
  c.push_back(make("ImgBarNum", K::Image, 340, 235, 65, 32));
  c.push_back(make("ImgSerial", K::Image, 16, 312, 105, 33));
  c.push_back(label("labelResultTime", 168, 320, 321, 17, "Arial", 12));
  c.push_back(make("ImgApplogo", K::Image, 0, 0, 180, 50));
  c.push_back(make("Ad_WebBrowser", K::WebBrowser, 208, 8, 37, 31));
  Component memo = make("MemoAnouncement", K::Memo, 433, 56, 40, 145);
  memo.fontName = "MS Sans Serif";
  memo.fontPx = 15;
  memo.visible = false;
  c.push_back(std::move(memo));
  c.push_back(make("Info_WebBrowser", K::WebBrowser, 160, 11, 29, 28));
  c.push_back(timer("TimerExecute", 100));
  c.push_back(timer("TimerDisable", 1000));
  return c;
}

bool isHiddenByHideAll(const Component& c) {
  static const char* const kept[] = {"ImgBackground", "ImgQrt", "Ad_WebBrowser"};
  if (c.kind == K::Timer) return false;
  return std::none_of(std::begin(kept), std::end(kept), [&](const char* n) { return c.name == n; });
}

} // namespace

FormModel::FormModel(TestRecord& record) : record_(record), components_(formDefinition()) {}

Component* FormModel::find(std::string_view name) {
  for (auto& c : components_)
    if (c.name == name) return &c;
  return nullptr;
}

const Component* FormModel::find(std::string_view name) const {
  return const_cast<FormModel*>(this)->find(name);
}

Component& FormModel::get(std::string_view name) {
  Component* c = find(name);
  if (!c) {
    std::fprintf(stderr, "TMainForm has no component %.*s\n", static_cast<int>(name.size()), name.data());
    std::abort();
  }
  return *c;
}

const Component& FormModel::get(std::string_view name) const {
  return const_cast<FormModel*>(this)->get(name);
}

void FormModel::load(std::string_view component, std::string_view name, std::string_view type) {
  Component& c = get(component);
  LoadResult result = vLoadImage(c.image, name, type);
  if (result.loaded())
    c.pictureName = name;
  else if (result.failed())
    loadFailures_.push_back(std::move(result));
}

std::vector<LoadResult> FormModel::takeLoadFailures() {
  std::vector<LoadResult> failures;
  failures.swap(loadFailures_);
  return failures;
}

void FormModel::setVersionTexts(std::string fileVersion, std::string releaseDate) {
  fileVersionText_ = std::move(fileVersion);
  releaseDateText_ = std::move(releaseDate);
}

void FormModel::applyLayout() {
  auto& memo = get("MemoAnouncement");
  memo.place(17, 56);
  memo.setSize(490, 280);
  get("Info_WebBrowser").place(17, 56);
  get("ImgQrt").place(10, 375);
  get("ImgQrt").setSize(135, 41);
  get("ImgLogo").place(0, 187);
  get("ImgLogo").setSize(257, 113);
  get("ImgApplogo").place(0, 0);
  get("ImgApplogo").setSize(180, 50);
  get("labelLicense").place(240, 160);
  get("ImgPrevious").place(190, 375);
  get("ImgPrevious").setSize(91, 41);
  get("ImgNext").place(310, 375);
  get("ImgNext").setSize(100, 41);
  get("ImgCancel").place(420, 375);
  get("ImgCancel").setSize(97, 41);
  get("ImgCopyright").place(400, 350);
  get("ImgCopyright").setSize(114, 25);
  get("ImgConnecting").place(101, 172);
  get("ImgConnecting").setSize(57, 57);
  get("ImgAlarm").place(0, 56);
  get("ImgAlarm").setSize(520, 49);
  get("ImgCenter").place(152, 180);
  get("ImgCenter").setSize(284, 41);
  get("ImgRotation").place(213, 180);
  get("ImgRotation").setSize(105, 105);
  get("ImgStatus").place(15, 320);
  get("ImgStatus").setSize(193, 25);
  auto& bar = get("ImgBar");
  bar.place(15, 340);
  bar.image.width = 482;
  bar.visible = false;
  auto& barNum = get("ImgBarNum");
  barNum.place(440, 320);
  barNum.visible = false;

  // Digit rows at fixed places: 24 + 35 * position for thousands to ones, then point, tenths,
  // hundredths and unit.
  const int pointTop[2] = {128, 232};
  const int unitTop[2] = {118, 224};
  const int rowTop[2] = {88, 192};
  const char* const* rows[2] = {kDownloadDigitRow, kUploadDigitRow};
  get("ImgDownlinkTitle").place(0, 56);
  get("ImgUplinkTitle").place(0, 160);
  for (int r = 0; r < 2; ++r) {
    for (int position = 0; position < 4; ++position)
      get(rows[r][position]).place(24 + 35 * position, rowTop[r]);
    get(rows[r][4]).place(164, pointTop[r]);
    get(rows[r][5]).place(179, rowTop[r]);
    get(rows[r][6]).place(214, rowTop[r]);
    get(rows[r][7]).place(260, unitTop[r]);
  }
  get("ImgReport").place(94, 280);
  get("ImgSerial").place(94, 320);
  auto& serial = get("labelResultSerial");
  serial.place(150, 323);
  serial.image.width = 360;
  auto& time = get("labelResultTime");
  time.place(150, 338);
  time.image.width = 360;
}

std::optional<Button> buttonOf(std::string_view componentName) {
  if (componentName == "ImgPrevious") return Button::Previous;
  if (componentName == "ImgNext") return Button::Next;
  if (componentName == "ImgCancel") return Button::Cancel;
  if (componentName == "ImgReport") return Button::Report;
  return std::nullopt;
}

const Component* FormModel::componentAt(int x, int y) const {
  auto holds = [&](const Component& c) {
    return c.visible && x >= c.left && y >= c.top && x < c.left + c.width() && y < c.top + c.height();
  };
  for (const auto& c : components_)
    if ((c.kind == K::Memo || c.kind == K::WebBrowser) && holds(c)) return &c;
  for (auto it = components_.rbegin(); it != components_.rend(); ++it)
    if ((it->isImage() || it->kind == K::Label) && holds(*it)) return &*it;
  return nullptr;
}

void FormModel::startUp() {
  applyLayout();
  load("ImgQrt", "QRT");
  get("ImgBackground").setSize(kClientWidth, kClientHeight);
  hide("labelResultSerial");
  hide("labelResultTime");
  prepareTestRun();
}

void FormModel::hideAllPanels() {
  for (auto& c : components_)
    if (isHiddenByHideAll(c)) c.visible = false;
}

void FormModel::prepareTestRun() {
  applyLayout();
  show("ImgConnecting");
  show("ImgCenter");
  load("ImgBackground", "BACKGROUND", "JPEG");
  load("ImgConnecting", "LOADING", "GIF");
  load("ImgCenter", "CONNECTING");
  get("ImgBackground").image.autoSize = true;

  auto& ad = get("Ad_WebBrowser");
  ad.place(screenDpi_ <= 96 ? 208 : screenDpi_ <= 120 ? 340 : 470, 8);
  ad.setSize(0, 0);
  get("Info_WebBrowser").setSize(0, 0);
  get("ImgApplogo").left = 0;
  adLoaded_ = false;
}

void FormModel::showVersionBlockedPage() {
  page_ = PAGE_VERSION_BLOCKED;
  hide("ImgConnecting");
  hide("ImgCenter");
  // After a restart hid them, the version pages still need their caption, notice and buttons.
  for (const char* name : {"ImgAlarm", "ImgNotice", "ImgNext", "ImgCancel"})
    show(name);
  load("ImgAlarm", "UNUSE");
  load("ImgNotice", "DOWNLOAD");
  load("ImgNext", "BUTTON_D");
  load("ImgCancel", "BUTTON_C");
  downloadUrl_ = record_.updateUrl;
}

void FormModel::showVersionOutdatedPage() {
  page_ = PAGE_VERSION_OUTDATED;
  hide("ImgConnecting");
  hide("ImgCenter");
  // After a restart hid them, the version pages still need their caption, notice and buttons.
  for (const char* name : {"ImgAlarm", "ImgNotice", "ImgPrevious", "ImgNext", "ImgCancel"})
    show(name);
  load("ImgAlarm", "ALARMVER");
  load("ImgNotice", "DOWNLOAD");
  load("ImgPrevious", "BUTTON_N");
  load("ImgNext", "BUTTON_D");
  load("ImgCancel", "BUTTON_C");
  downloadUrl_ = record_.updateUrl;
}

void FormModel::showTermsPage() {
  page_ = PAGE_TERMS;
  hideAllPanels();
  if (previousPage_ == PAGE_SETUP_GUIDE) get("Info_WebBrowser").setSize(0, 0);
  for (const char* name :
       {"ImgTitle", "ImgPrevious", "ImgNext", "ImgCancel", "ImgCopyright", "ImgApplogo", "MemoAnouncement"})
    show(name);
  load("ImgBackground", "BACKGROUND", "JPEG");
  load("ImgQrt", "QRT");
  load("ImgCopyright", "OPENCR");
  load("ImgApplogo", "APPLOGO");
  load("ImgTitle", "ANNOUNCEMENT");
  load("ImgPrevious", "BUTTON_T");
  load("ImgNext", "BUTTON_Y");
  load("ImgCancel", "BUTTON_C");
  auto& title = get("ImgTitle");
  title.image.width = 306;
  title.left = 194;
  get("MemoAnouncement").text = record_.agreementText;
}

void FormModel::showAnnouncementPage() {
  page_ = PAGE_ANNOUNCEMENT;
  hideAllPanels();
  for (const char* name : {"ImgTitle", "ImgNext", "ImgCancel", "MemoAnouncement", "ImgApplogo"})
    show(name);
  load("ImgTitle", "TEXT_BULLETIN");
  load("ImgNext", "BUTTON_N");
  load("ImgCancel", "BUTTON_C");
  previousPage_ = PAGE_TERMS;
  auto& title = get("ImgTitle");
  title.image.width = 207;
  title.left = 293;
  get("MemoAnouncement").text = record_.announcementText;
}

void FormModel::showSetupGuidePage() {
  page_ = PAGE_SETUP_GUIDE;
  hideAllPanels();
  show("Info_WebBrowser");
  show("ImgTitle");
  show("ImgCancel");
  load("ImgTitle", "SETUPDOC");
  load("ImgCancel", "BUTTON_P");
  previousPage_ = PAGE_SETUP_GUIDE;
  get("Info_WebBrowser").setSize(490, 310);
  auto& title = get("ImgTitle");
  title.left = 79;
  title.image.width = 421;
}

void FormModel::showAboutPage() {
  page_ = PAGE_ABOUT;
  hideAllPanels();
  show("ImgCancel");
  show("labelLicense");
  load("ImgBackground", "BACKGROUND_CR");
  load("ImgCancel", "BUTTON_P");
  auto& license = get("labelLicense");
  // A readable size: at one point the version text would be about a pixel high.
  license.fontPx = 13;
  license.caption = "Ver " + fileVersionText_ + "\nRelease Date:" + releaseDateText_ + "\n";
  license.place(188, 240);
  license.setSize(300, 120);
}

void FormModel::showTestingPage() {
  page_ = PAGE_TESTING;
  hideAllPanels();
  show("ImgTesting");
  show("ImgRotation");
  show("ImgCancel");
  load("ImgTesting", "LOAD");
  load("ImgRotation", "ROTATION", "GIF");
  load("ImgCancel", "BUTTON_Q");
  get("Info_WebBrowser").setSize(0, 0);
  get("ImgTesting").left = 152;
  get("TimerExecute").enabled = true;
  if (adLoaded_) get("Ad_WebBrowser").setSize(300, 250);
}

void FormModel::showDigitRow(const char* const names[8], double& speed) {
  const SpeedDigits d = ComputeSpeedDigits(speed);
  speed = d.value;
  const int digits[4] = {d.thousands, d.hundreds, d.tens, d.ones};
  const bool shown[4] = {d.showThousands, d.showHundreds, d.showTens, true};
  for (int i = 0; i < 4; ++i) {
    if (shown[i])
      load(names[i], digitImageName(digits[i]));
    else
      hide(names[i]);
  }
  load(names[4], "POINT");
  load(names[5], digitImageName(d.tenths));
  load(names[6], digitImageName(d.hundredths));
  load(names[7], d.unitPicture());
}

void FormModel::showSpeedDigits() {
  for (const auto* row : {kDownloadDigitRow, kUploadDigitRow})
    for (int i = 0; i < 8; ++i)
      show(row[i]);
  show("ImgDownlinkTitle");
  show("ImgUplinkTitle");
  showDigitRow(kDownloadDigitRow, record_.downloadSpeed);
  showDigitRow(kUploadDigitRow, record_.uploadSpeed);
}

VerdictReaction FormModel::onVersionVerdict(int verdict) {
  VerdictReaction reaction;
  const bool attended = record_.autoTest.load() == 0;
  switch (verdict) {
  case 1:
    showVersionBlockedPage();
    break;
  case 2:
    if (attended) {
      showVersionOutdatedPage();
    } else {
      record_.termsAccepted = 1;
      showTestingPage();
    }
    break;
  case 3:
    if ((record_.introPending.load() != 0 || record_.termsAccepted.load() == 0) && attended) {
      showTermsPage();
    } else {
      if (!attended) record_.termsAccepted = 1;
      showTestingPage();
    }
    break;
  case 0:
    page_ = PAGE_WAITING;
    if (record_.errorCode.load() == kServiceDocumentFailed)
      reaction.box = FormBox{kServiceDocumentFailed, 0x15, BoxFollowUp::RetryOrClose};
    reaction.collapseAdvertUnlessRetry = true;
    break;
  default:
    break;
  }
  return reaction;
}

ResultReaction FormModel::onResult(int outcome, const std::string& resultUrl, double nowSeconds) {
  ResultReaction reaction;
  page_ = PAGE_RESULT;
  hideAllPanels();
  for (const char* name : {"ImgTitle", "ImgNext", "ImgCancel", "ImgApplogo"})
    show(name);
  load("ImgBackground", "BACKGROUND_OVER");
  load("ImgTitle", "TEST_END");
  load("ImgNext", "BUTTON_RT");
  load("ImgCancel", "BUTTON_Q");
  load("ImgDownlinkTitle", "DOWNLINK");
  load("ImgUplinkTitle", "UPLINK");
  load("ImgApplogo", "APPLOGO");
  record_.introPending = 0;
  resultWithReport_ = false;
  auto& title = get("ImgTitle");
  title.left = 20;
  title.image.width = 227;
  get("ImgApplogo").left = outerWidth_ - 196;
  get("Ad_WebBrowser").setSize(0, 0);

  if (outcome == 1 || outcome == 2 || outcome == 5) {
    if (!SpeedsInRange(record_.downloadSpeed, record_.uploadSpeed)) {
      record_.errorCode = kResultOutOfRange;
      reaction.box = FormBox{kResultOutOfRange, 0x40, BoxFollowUp::Stay};
      return reaction;
    }
    showSpeedDigits();
    if (outcome == 1) {
      resultWithReport_ = true;
      autoCloseArmed_ = true;
      reaction.navigateAdvert = record_.adUrl2 != "NULL";
      reportUrl_ = resultUrl;
      if (reportUrl_.compare(0, 4, "NULL") != 0) show("ImgReport");
      for (const char* name :
           {"ImgSerial", "ImgDownlinkTitle", "ImgUplinkTitle", "labelResultSerial", "labelResultTime"})
        show(name);
      load("ImgReport", "BUTTON_R");
      load("ImgSerial", "SERIAL");
      get("labelResultSerial").caption = record_.resultSerial;
      get("labelResultTime").caption = record_.resultTime;
      phaseStart_ = nowSeconds;
    }
  } else if (outcome == 3) {
    switch (record_.errorCode.load()) {
    case kUploadTooLittle:
    case kDownloadTooLittle:
    case kServiceDocumentFailed:
      reaction.box = FormBox{record_.errorCode.load(), 0x15, BoxFollowUp::RetryOrClose};
      break;
    case kNoSessionStarted:
      reaction.box = FormBox{kNoSessionStarted, 0x10, BoxFollowUp::Close};
      break;
    case kUploadNothingPppoeMtu:
    case kUploadNothingNotPppoe:
      reaction.box = FormBox{record_.errorCode.load(), 0x40, BoxFollowUp::Close};
      break;
    default:
      break;
    }
  }
  return reaction;
}

FormBox FormModel::onDenied() {
  get("Ad_WebBrowser").setSize(0, 0);
  return FormBox{record_.errorCode.load(), 0x40, BoxFollowUp::CloseApp};
}

ConfigurationReaction FormModel::onConfiguration() {
  ConfigurationReaction reaction;
  reaction.navigateAdvert = record_.adUrl1 != "NULL";
  if (!reaction.navigateAdvert) get("Ad_WebBrowser").setSize(0, 0);
  return reaction;
}

void FormModel::onAdDocumentComplete() {
  adLoaded_ = true;
  auto& ad = get("Ad_WebBrowser");
  if (page_ == PAGE_TESTING) {
    ad.setSize(300, 250);
  } else if (page_ == PAGE_RESULT && resultWithReport_) {
    ad.setSize(120, 300);
    ad.place(400, screenDpi_ > 96 ? 70 : 56);
  }
}

bool IsWebAddress(std::string_view address) {
  auto startsWith = [&](std::string_view scheme) {
    if (address.size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(address[i])) != scheme[i]) return false;
    return true;
  };
  return startsWith("http://") || startsWith("https://");
}

void FormModel::onProgress(int direction, int percent) {
  const bool download = direction == 1;
  if (percent == 0 && download) {
    show("ImgStatus");
    show("ImgBar");
    show("ImgBarNum");
    get("ImgTesting").left = 165;
    load("ImgTesting", "TESTING");
    load("ImgStatus", "TEXT_DOWNLINK");
    load("ImgBar", "PERCENT_BAR_0");
    load("ImgBarNum", "PERCENT_0");
  }
  // A negative percentage would name a bar picture that does not exist; it shows the empty bar.
  const int step = std::max(0, ProgressStep(percent));
  if (step >= 100) {
    load("ImgStatus", download ? "TEXT_DOWNLINK_END" : "TEXT_UPLINK_END");
    load("ImgBar", "PERCENT_BAR_100");
    load("ImgBarNum", "PERCENT_100");
  } else {
    load("ImgStatus", download ? "TEXT_DOWNLINK" : "TEXT_UPLINK");
    load("ImgBar", "PERCENT_BAR_" + std::to_string(step));
    load("ImgBarNum", "PERCENT_" + std::to_string(step));
  }
}

void FormModel::onAnalysis(double nowSeconds) {
  phaseStart_ = nowSeconds;
  autoCloseArmed_ = false;
  get("TimerDisable").enabled = true;
  get("ImgTesting").left = 152;
  load("ImgTesting", "ANALYSIS");
  hide("ImgStatus");
  hide("ImgBar");
  hide("ImgBarNum");
}

void FormModel::beginRestart() {
  previousPage_ = PAGE_RESULT;
  hideAllPanels();
  get("TimerDisable").enabled = false;
  prepareTestRun();
}

void FormModel::onTimerExecuteTick() {
  get("TimerExecute").enabled = false;
}

bool FormModel::onTimerDisableTick(double nowSeconds) const {
  if (!autoCloseArmed_) return false;
  const double elapsed = std::trunc(nowSeconds - phaseStart_);
  return record_.autoTest.load() != 0 && elapsed > 1;
}

} // namespace zelvo
