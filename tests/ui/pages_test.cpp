// The page builders, the page decision, the result handler with its digit rows, and the progress and
// analysis display: which components each shows, with which pictures.

#include "ui/mainform.h"
#include "ui/version.h"
#include "zelvo_version.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

namespace zelvo {
namespace {

// The components a page leaves visible, apart from the background and the operator logo, which no
// page hides.
std::set<std::string> visibleElements(const FormModel& form) {
  std::set<std::string> shown;
  for (const auto& c : form.components())
    if (c.visible && c.kind != ComponentKind::Timer && c.name != "ImgBackground" && c.name != "ImgQrt" &&
        c.name != "Ad_WebBrowser")
      shown.insert(c.name);
  return shown;
}

const std::string& pictureOf(const FormModel& form, const char* name) {
  return form.get(name).pictureName;
}

class Pages : public ::testing::Test {
protected:
  Pages() : form(record) {
    record.agreementText = "Terms\r\nsecond line";
    record.updateUrl = "http://127.0.0.1/update";
    form.startUp();
  }
  void TearDown() override { EXPECT_TRUE(form.takeLoadFailures().empty()) << "every picture exists"; }

  TestRecord record;
  FormModel form;
};

TEST_F(Pages, TermsPageShowsAgreementButtonsAndLogos) {
  form.showTermsPage();
  EXPECT_EQ(form.page(), PAGE_TERMS);
  EXPECT_EQ(visibleElements(form), (std::set<std::string>{"ImgTitle", "ImgPrevious", "ImgNext", "ImgCancel",
                                                          "ImgCopyright", "ImgApplogo", "MemoAnouncement"}));
  EXPECT_EQ(pictureOf(form, "ImgBackground"), "BACKGROUND");
  EXPECT_EQ(pictureOf(form, "ImgQrt"), "QRT");
  EXPECT_EQ(pictureOf(form, "ImgCopyright"), "OPENCR");
  EXPECT_EQ(pictureOf(form, "ImgApplogo"), "APPLOGO");
  EXPECT_EQ(pictureOf(form, "ImgTitle"), "ANNOUNCEMENT");
  EXPECT_EQ(pictureOf(form, "ImgPrevious"), "BUTTON_T");
  EXPECT_EQ(pictureOf(form, "ImgNext"), "BUTTON_Y");
  EXPECT_EQ(pictureOf(form, "ImgCancel"), "BUTTON_C");
  EXPECT_EQ(form.get("ImgTitle").left, 194);
  EXPECT_EQ(form.get("ImgTitle").width(), 306);
  EXPECT_EQ(form.get("MemoAnouncement").text, "Terms\r\nsecond line");
  // Shown again, the memo holds the text once, not twice.
  form.showTermsPage();
  EXPECT_EQ(form.get("MemoAnouncement").text, "Terms\r\nsecond line");
}

TEST_F(Pages, AnnouncementAndSetupGuideAndTheWayBackToTheTerms) {
  record.announcementText = "Maintenance tonight";
  form.showAnnouncementPage();
  EXPECT_EQ(form.page(), PAGE_ANNOUNCEMENT);
  EXPECT_EQ(form.previousPage(), PAGE_TERMS);
  EXPECT_EQ(visibleElements(form),
            (std::set<std::string>{"ImgTitle", "ImgNext", "ImgCancel", "MemoAnouncement", "ImgApplogo"}));
  EXPECT_EQ(pictureOf(form, "ImgTitle"), "TEXT_BULLETIN");
  EXPECT_EQ(pictureOf(form, "ImgNext"), "BUTTON_N");
  EXPECT_EQ(form.get("ImgTitle").left, 293);
  EXPECT_EQ(form.get("ImgTitle").width(), 207);
  EXPECT_EQ(form.get("MemoAnouncement").text, "Maintenance tonight");

  form.showSetupGuidePage();
  EXPECT_EQ(form.page(), PAGE_SETUP_GUIDE);
  EXPECT_EQ(form.previousPage(), PAGE_SETUP_GUIDE);
  EXPECT_EQ(visibleElements(form), (std::set<std::string>{"Info_WebBrowser", "ImgTitle", "ImgCancel"}));
  EXPECT_EQ(pictureOf(form, "ImgTitle"), "SETUPDOC");
  EXPECT_EQ(pictureOf(form, "ImgCancel"), "BUTTON_P");
  EXPECT_EQ(form.get("Info_WebBrowser").width(), 490);
  EXPECT_EQ(form.get("Info_WebBrowser").height(), 310);
  EXPECT_EQ(form.get("ImgTitle").left, 79);

  // Leaving the guide collapses the information panel.
  form.showTermsPage();
  EXPECT_FALSE(form.get("Info_WebBrowser").visible);
  EXPECT_EQ(form.get("Info_WebBrowser").width(), 0);
  EXPECT_EQ(form.get("Info_WebBrowser").height(), 0);
}

TEST_F(Pages, AboutPageFillsTheVersionLabelReadably) {
  form.setVersionTexts("0.91.0", "2026/12/01");
  form.showAboutPage();
  EXPECT_EQ(form.page(), PAGE_ABOUT);
  EXPECT_EQ(visibleElements(form), (std::set<std::string>{"ImgCancel", "labelLicense"}));
  EXPECT_EQ(pictureOf(form, "ImgBackground"), "BACKGROUND_CR");
  EXPECT_FALSE(form.get("ImgBackground").image.picture.hasAlpha) << "the about background is opaque";
  const Component& label = form.get("labelLicense");
  EXPECT_EQ(label.caption, "Ver 0.91.0\nRelease Date:2026/12/01\n");
  EXPECT_EQ(label.left, 188);
  EXPECT_EQ(label.top, 240);
  EXPECT_EQ(label.width(), 300);
  EXPECT_EQ(label.height(), 120);
  EXPECT_GE(label.fontPx, 10) << "a one-point font would make the version unreadable";
}

TEST_F(Pages, TestingPageStartsTheMeasurementTimerAndSizesALoadedAdvert) {
  form.setAdLoaded(true);
  form.get("Info_WebBrowser").setSize(490, 310);
  form.showTestingPage();
  EXPECT_EQ(form.page(), PAGE_TESTING);
  EXPECT_EQ(visibleElements(form), (std::set<std::string>{"ImgTesting", "ImgRotation", "ImgCancel"}));
  EXPECT_EQ(pictureOf(form, "ImgTesting"), "LOAD");
  EXPECT_EQ(pictureOf(form, "ImgRotation"), "ROTATION");
  EXPECT_TRUE(form.get("ImgRotation").image.picture.animated());
  EXPECT_EQ(pictureOf(form, "ImgCancel"), "BUTTON_Q");
  EXPECT_EQ(form.get("ImgTesting").left, 152);
  EXPECT_EQ(form.get("Info_WebBrowser").width(), 0);
  EXPECT_EQ(form.get("Ad_WebBrowser").width(), 300);
  EXPECT_EQ(form.get("Ad_WebBrowser").height(), 250);
  EXPECT_TRUE(form.get("TimerExecute").enabled);
  form.onTimerExecuteTick();
  EXPECT_FALSE(form.get("TimerExecute").enabled) << "it fires once per testing page";
}

TEST_F(Pages, VersionPagesBuildOnTheConnectingPage) {
  form.showVersionBlockedPage();
  EXPECT_EQ(form.page(), PAGE_VERSION_BLOCKED);
  EXPECT_FALSE(form.get("ImgConnecting").visible);
  EXPECT_FALSE(form.get("ImgCenter").visible);
  EXPECT_EQ(pictureOf(form, "ImgAlarm"), "UNUSE");
  EXPECT_EQ(pictureOf(form, "ImgNotice"), "DOWNLOAD");
  EXPECT_EQ(pictureOf(form, "ImgNext"), "BUTTON_D");
  EXPECT_EQ(pictureOf(form, "ImgCancel"), "BUTTON_C");
  EXPECT_TRUE(pictureOf(form, "ImgPrevious").empty());
  EXPECT_TRUE(form.get("ImgAlarm").visible && form.get("ImgNotice").visible && form.get("ImgNext").visible);
  EXPECT_EQ(pictureOf(form, "ImgBackground"), "BACKGROUND");
  EXPECT_EQ(form.downloadUrl(), "http://127.0.0.1/update");

  TestRecord other;
  other.updateUrl = "http://127.0.0.1/newer";
  FormModel outdated(other);
  outdated.startUp();
  outdated.showVersionOutdatedPage();
  EXPECT_EQ(outdated.page(), PAGE_VERSION_OUTDATED);
  EXPECT_EQ(outdated.get("ImgAlarm").pictureName, "ALARMVER");
  EXPECT_EQ(outdated.get("ImgPrevious").pictureName, "BUTTON_N");
  EXPECT_EQ(outdated.downloadUrl(), "http://127.0.0.1/newer");
}

TEST_F(Pages, VersionVerdictChoosesThePage) {
  struct Case {
    int verdict;
    bool autoTest, introPending, termsAccepted;
    PageKind page;
    bool acceptsTerms;
  };
  const Case cases[] = {
      {1, false, true, false, PAGE_VERSION_BLOCKED, false},
      {1, true, true, false, PAGE_VERSION_BLOCKED, false}, // unattended still sees the blocked page
      {2, false, true, false, PAGE_VERSION_OUTDATED, false},
      {2, true, true, false, PAGE_TESTING, true},
      {3, false, true, false, PAGE_TERMS, false},
      {3, false, true, true, PAGE_TERMS, true},    // first run: terms again
      {3, false, false, true, PAGE_TESTING, true}, // repeated run
      {3, true, true, false, PAGE_TESTING, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "verdict " << c.verdict << " auto " << c.autoTest << " intro "
                                      << c.introPending << " accepted " << c.termsAccepted);
    TestRecord r;
    r.autoTest = c.autoTest;
    r.introPending = c.introPending;
    r.termsAccepted = c.termsAccepted;
    FormModel f(r);
    f.startUp();
    const VerdictReaction reaction = f.onVersionVerdict(c.verdict);
    EXPECT_EQ(f.page(), c.page);
    EXPECT_EQ(r.termsAccepted.load() != 0, c.acceptsTerms);
    EXPECT_FALSE(reaction.box.has_value());
  }
}

TEST_F(Pages, VerdictZeroReturnsToWaitingAndAnswersByCode) {
  form.showTermsPage();
  record.errorCode = kServiceDocumentFailed;
  VerdictReaction reaction = form.onVersionVerdict(0);
  EXPECT_EQ(form.page(), PAGE_WAITING);
  ASSERT_TRUE(reaction.box.has_value());
  EXPECT_EQ(reaction.box->code, 6);
  EXPECT_EQ(reaction.box->flags, 0x15u);
  EXPECT_EQ(reaction.box->followUp, BoxFollowUp::RetryOrClose);
  EXPECT_TRUE(reaction.collapseAdvertUnlessRetry);

  for (int code : {kLatencyTimeout, kNoError, kTestDenied}) {
    SCOPED_TRACE(code);
    form.showTermsPage();
    record.errorCode = static_cast<std::int8_t>(code);
    reaction = form.onVersionVerdict(0);
    EXPECT_EQ(form.page(), PAGE_WAITING);
    EXPECT_FALSE(reaction.box.has_value());
    EXPECT_TRUE(reaction.collapseAdvertUnlessRetry);
  }
}

TEST_F(Pages, DeniedTestCollapsesTheAdvertAndClosesAfterTheBox) {
  form.setAdLoaded(true);
  form.showTestingPage();
  ASSERT_EQ(form.get("Ad_WebBrowser").width(), 300);
  record.errorCode = kTestDenied;
  const FormBox box = form.onDenied();
  EXPECT_EQ(box.code, kTestDenied);
  EXPECT_EQ(box.flags, 0x40u);
  EXPECT_EQ(box.followUp, BoxFollowUp::CloseApp);
  EXPECT_EQ(form.get("Ad_WebBrowser").width(), 0);
  EXPECT_EQ(form.get("Ad_WebBrowser").height(), 0);
}

// The pictures of one digit row: "" for a hidden digit.
std::vector<std::string> row(const FormModel& form, const char* const names[8]) {
  std::vector<std::string> shown;
  for (int i = 0; i < 8; ++i) {
    const Component& c = form.get(names[i]);
    shown.push_back(c.visible ? c.pictureName : "");
  }
  return shown;
}

TEST_F(Pages, ResultDigitsForTheEdgeCases) {
  struct Case {
    double kbps;
    std::vector<std::string> pictures; // thousands .. hundredths, unit
    double writtenBack;
  };
  const Case cases[] = {
      {85.3, {"", "", "DIGIT_8", "DIGIT_5", "POINT", "DIGIT_3", "DIGIT_0", "KBPS"}, 85.3},
      {1.13, {"", "", "", "DIGIT_1", "POINT", "DIGIT_1", "DIGIT_3", "KBPS"}, 1.13},
      {12345.678, {"", "", "DIGIT_1", "DIGIT_2", "POINT", "DIGIT_3", "DIGIT_4", "MBPS"}, 12.34568},
      {999.996, {"", "", "", "DIGIT_1", "POINT", "DIGIT_0", "DIGIT_0", "MBPS"}, 1.0},
      {105.06, {"", "DIGIT_1", "DIGIT_0", "DIGIT_5", "POINT", "DIGIT_0", "DIGIT_6", "KBPS"}, 105.06},
      // Ten gigabits and more: Gbps, not a fifth Mbps digit.
      {10289004, {"", "", "DIGIT_1", "DIGIT_0", "POINT", "DIGIT_2", "DIGIT_8", "GBPS"}, 10.289004},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kbps);
    TestRecord r;
    r.downloadSpeed = c.kbps;
    r.uploadSpeed = c.kbps;
    FormModel f(r);
    f.startUp();
    // A previous result with more digits shown must not leave a leading digit behind.
    r.downloadSpeed = r.uploadSpeed = 987654.32;
    f.onResult(2, "", 0.0);
    r.downloadSpeed = r.uploadSpeed = c.kbps;
    f.onResult(2, "", 0.0);
    EXPECT_EQ(row(f, kDownloadDigitRow), c.pictures);
    EXPECT_EQ(row(f, kUploadDigitRow), c.pictures);
    EXPECT_NEAR(r.downloadSpeed, c.writtenBack, 1e-9) << "the shown number in the shown unit";
    EXPECT_NEAR(r.uploadSpeed, c.writtenBack, 1e-9);
    EXPECT_TRUE(f.get("ImgDownlinkTitle").visible && f.get("ImgUplinkTitle").visible);
    // Hidden leading digits keep their places.
    EXPECT_EQ(f.get("ImgDown10").left, 94);
    EXPECT_TRUE(f.takeLoadFailures().empty());
  }
}

TEST_F(Pages, ResultWithAcceptedReportShowsSerialTimeAndReportButton) {
  record.downloadSpeed = 85432.1;
  record.uploadSpeed = 9071.4;
  record.resultSerial = "S-0001";
  record.resultTime = "2026/12/08 03:00";
  record.adUrl2 = "http://127.0.0.1/ad2";
  record.introPending = 1;
  form.setOuterWidth(526);
  const ResultReaction reaction = form.onResult(1, "http://127.0.0.1/result/1", 42.5);
  EXPECT_EQ(form.page(), PAGE_RESULT);
  EXPECT_FALSE(reaction.box.has_value());
  EXPECT_TRUE(reaction.navigateAdvert);
  EXPECT_TRUE(form.resultWithReport());
  EXPECT_TRUE(form.autoCloseArmed());
  EXPECT_EQ(form.phaseStart(), 42.5);
  EXPECT_EQ(record.introPending.load(), 0);
  EXPECT_EQ(form.reportUrl(), "http://127.0.0.1/result/1");
  for (const char* name : {"ImgTitle", "ImgNext", "ImgCancel", "ImgApplogo", "ImgReport", "ImgSerial",
                           "labelResultSerial", "labelResultTime", "ImgDownUnit", "ImgUpdot01"})
    EXPECT_TRUE(form.get(name).visible) << name;
  EXPECT_EQ(pictureOf(form, "ImgBackground"), "BACKGROUND_OVER");
  EXPECT_EQ(pictureOf(form, "ImgTitle"), "TEST_END");
  EXPECT_EQ(pictureOf(form, "ImgNext"), "BUTTON_RT");
  EXPECT_EQ(pictureOf(form, "ImgCancel"), "BUTTON_Q");
  EXPECT_EQ(pictureOf(form, "ImgReport"), "BUTTON_R");
  EXPECT_EQ(pictureOf(form, "ImgSerial"), "SERIAL");
  EXPECT_EQ(pictureOf(form, "ImgDownlinkTitle"), "DOWNLINK");
  EXPECT_EQ(pictureOf(form, "ImgUplinkTitle"), "UPLINK");
  EXPECT_EQ(form.get("labelResultSerial").caption, "S-0001");
  EXPECT_EQ(form.get("labelResultTime").caption, "2026/12/08 03:00");
  EXPECT_EQ(form.get("ImgTitle").left, 20);
  EXPECT_EQ(form.get("ImgApplogo").left, 330);
  EXPECT_EQ(form.get("Ad_WebBrowser").width(), 0);
  EXPECT_EQ(row(form, kDownloadDigitRow),
            (std::vector<std::string>{"", "", "DIGIT_8", "DIGIT_5", "POINT", "DIGIT_4", "DIGIT_3", "MBPS"}));
  EXPECT_EQ(row(form, kUploadDigitRow),
            (std::vector<std::string>{"", "", "", "DIGIT_9", "POINT", "DIGIT_0", "DIGIT_7", "MBPS"}));
}

TEST_F(Pages, ResultAddressBeginningWithNullAndAdvertNullHideReportAndPanel) {
  record.downloadSpeed = record.uploadSpeed = 5000;
  record.adUrl2 = "NULL";
  const ResultReaction reaction = form.onResult(1, "NULL_no_report", 0.0);
  EXPECT_FALSE(reaction.navigateAdvert);
  EXPECT_FALSE(form.get("ImgReport").visible);
  EXPECT_TRUE(form.get("ImgSerial").visible);
  EXPECT_TRUE(form.get("ImgDown1").visible);
  // Shorter than four characters is not "NULL".
  record.downloadSpeed = record.uploadSpeed = 5000;
  form.onResult(1, "NU", 0.0);
  EXPECT_TRUE(form.get("ImgReport").visible);
}

TEST_F(Pages, ResultWithoutReportShowsOnlyDigitsAndTitles) {
  for (int outcome : {2, 5}) {
    SCOPED_TRACE(outcome);
    record.downloadSpeed = record.uploadSpeed = 5000;
    const ResultReaction reaction = form.onResult(outcome, "", 0.0);
    EXPECT_FALSE(reaction.box.has_value());
    EXPECT_FALSE(reaction.navigateAdvert);
    EXPECT_FALSE(form.resultWithReport());
    EXPECT_FALSE(form.autoCloseArmed());
    EXPECT_FALSE(form.get("ImgReport").visible);
    EXPECT_FALSE(form.get("ImgSerial").visible);
    EXPECT_FALSE(form.get("labelResultSerial").visible);
    EXPECT_TRUE(form.get("ImgDown1").visible);
    EXPECT_TRUE(form.get("ImgUplinkTitle").visible);
    EXPECT_TRUE(form.reportUrl().empty());
  }
}

TEST_F(Pages, SpeedsOutOfRangeGiveTheCodeFourBoxAndNoDigits) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::pair<double, double> cases[] = {{1.0, 500}, {500, 1.0}, {1e10, 500}, {500, 1e10},
                                             {nan, 500}, {500, nan}, {0.5, 0.5}};
  for (auto [down, up] : cases) {
    SCOPED_TRACE(::testing::Message() << down << " " << up);
    record.errorCode = kNoError;
    record.downloadSpeed = down;
    record.uploadSpeed = up;
    const ResultReaction reaction = form.onResult(1, "http://127.0.0.1/r", 0.0);
    ASSERT_TRUE(reaction.box.has_value());
    EXPECT_EQ(reaction.box->code, 4);
    EXPECT_EQ(reaction.box->flags, 0x40u);
    EXPECT_EQ(reaction.box->followUp, BoxFollowUp::Stay);
    EXPECT_EQ(record.errorCode.load(), kResultOutOfRange);
    EXPECT_FALSE(form.get("ImgDown1").visible);
    EXPECT_FALSE(form.get("ImgReport").visible);
    EXPECT_FALSE(form.resultWithReport());
    EXPECT_TRUE(form.get("ImgNext").visible && form.get("ImgCancel").visible) << "the page stays as built";
  }
}

TEST_F(Pages, FailureOutcomeBoxesByCode) {
  struct Case {
    int code;
    std::optional<FormBox> box;
  };
  const Case cases[] = {
      {1, FormBox{1, 0x15, BoxFollowUp::RetryOrClose}},
      {2, FormBox{2, 0x15, BoxFollowUp::RetryOrClose}},
      {6, FormBox{6, 0x15, BoxFollowUp::RetryOrClose}},
      {7, FormBox{7, 0x10, BoxFollowUp::Close}},
      {12, FormBox{12, 0x40, BoxFollowUp::Close}},
      {13, FormBox{13, 0x40, BoxFollowUp::Close}},
      {3, std::nullopt},
      {9, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    record.errorCode = static_cast<std::int8_t>(c.code);
    record.downloadSpeed = record.uploadSpeed = 5000;
    const ResultReaction reaction = form.onResult(3, "", 0.0);
    ASSERT_EQ(reaction.box.has_value(), c.box.has_value());
    if (c.box) {
      EXPECT_EQ(reaction.box->code, c.box->code);
      EXPECT_EQ(reaction.box->flags, c.box->flags);
      EXPECT_EQ(reaction.box->followUp, c.box->followUp);
    }
    EXPECT_FALSE(form.get("ImgDown1").visible) << "a failure shows no digits";
    EXPECT_EQ(visibleElements(form),
              (std::set<std::string>{"ImgTitle", "ImgNext", "ImgCancel", "ImgApplogo"}));
  }
}

class Progress : public Pages {
protected:
  void SetUp() override {
    form.showTestingPage();
    form.onProgress(1, 0);
  }
  std::vector<std::string> trio() const {
    return {pictureOf(form, "ImgStatus"), pictureOf(form, "ImgBar"), pictureOf(form, "ImgBarNum")};
  }
};

TEST_F(Progress, DownloadStartShowsBarFigureAndTestingCaption) {
  EXPECT_TRUE(form.get("ImgStatus").visible && form.get("ImgBar").visible && form.get("ImgBarNum").visible);
  EXPECT_EQ(pictureOf(form, "ImgTesting"), "TESTING");
  EXPECT_EQ(form.get("ImgTesting").left, 165);
  EXPECT_EQ(trio(), (std::vector<std::string>{"TEXT_DOWNLINK", "PERCENT_BAR_0", "PERCENT_0"}));
}

TEST_F(Progress, StepsRoundToTheNearestTenHalvesUp) {
  struct Case {
    int direction, percent;
    std::vector<std::string> pictures;
  };
  const Case cases[] = {
      {1, 4, {"TEXT_DOWNLINK", "PERCENT_BAR_0", "PERCENT_0"}},
      {1, 5, {"TEXT_DOWNLINK", "PERCENT_BAR_10", "PERCENT_10"}},
      {1, 60, {"TEXT_DOWNLINK", "PERCENT_BAR_60", "PERCENT_60"}},
      {1, 94, {"TEXT_DOWNLINK", "PERCENT_BAR_90", "PERCENT_90"}},
      {1, 95, {"TEXT_DOWNLINK_END", "PERCENT_BAR_100", "PERCENT_100"}},
      {1, 250, {"TEXT_DOWNLINK_END", "PERCENT_BAR_100", "PERCENT_100"}},
      {0, 0, {"TEXT_UPLINK", "PERCENT_BAR_0", "PERCENT_0"}},
      {0, 94, {"TEXT_UPLINK", "PERCENT_BAR_90", "PERCENT_90"}},
      {0, 95, {"TEXT_UPLINK_END", "PERCENT_BAR_100", "PERCENT_100"}},
      // Never sent by the engine; shown as the empty bar rather than naming a missing picture.
      {1, -3, {"TEXT_DOWNLINK", "PERCENT_BAR_0", "PERCENT_0"}},
      {0, -40, {"TEXT_UPLINK", "PERCENT_BAR_0", "PERCENT_0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.direction << " " << c.percent);
    form.onProgress(c.direction, c.percent);
    EXPECT_EQ(trio(), c.pictures);
  }
}

TEST_F(Progress, UploadStartKeepsTheCaptionAndDownloadRestartResetsTheBar) {
  form.onProgress(1, 100);
  form.onProgress(0, 0);
  EXPECT_EQ(pictureOf(form, "ImgTesting"), "TESTING");
  EXPECT_EQ(trio(), (std::vector<std::string>{"TEXT_UPLINK", "PERCENT_BAR_0", "PERCENT_0"}));
  form.onProgress(1, 70);
  form.onProgress(1, 0);
  EXPECT_EQ(trio(), (std::vector<std::string>{"TEXT_DOWNLINK", "PERCENT_BAR_0", "PERCENT_0"}));
}

TEST_F(Progress, AnalysisHidesTheTrioAndArmsTheUnattendedClose) {
  form.onProgress(1, 60);
  form.onAnalysis(10.0);
  EXPECT_EQ(pictureOf(form, "ImgTesting"), "ANALYSIS");
  EXPECT_EQ(form.get("ImgTesting").left, 152);
  EXPECT_FALSE(form.get("ImgStatus").visible || form.get("ImgBar").visible || form.get("ImgBarNum").visible);
  EXPECT_TRUE(form.get("ImgRotation").visible);
  EXPECT_TRUE(form.get("TimerDisable").enabled);
  EXPECT_FALSE(form.autoCloseArmed());
  EXPECT_EQ(form.phaseStart(), 10.0);
  EXPECT_FALSE(form.onTimerDisableTick(100.0)) << "not armed before a successful result";
}

TEST_F(Pages, UnattendedCloseTwoToThreeSecondsAfterASuccessfulResult) {
  record.autoTest = 1;
  record.downloadSpeed = record.uploadSpeed = 5000;
  form.onAnalysis(0.0);
  form.onResult(1, "http://127.0.0.1/r", 50.0);
  EXPECT_FALSE(form.onTimerDisableTick(51.0));
  EXPECT_FALSE(form.onTimerDisableTick(51.99));
  EXPECT_TRUE(form.onTimerDisableTick(52.0));
  record.autoTest = 0;
  EXPECT_FALSE(form.onTimerDisableTick(60.0)) << "an attended run is never closed";
}

TEST_F(Pages, RestartPreparesANewRunButKeepsThePage) {
  record.downloadSpeed = record.uploadSpeed = 5000;
  form.onAnalysis(0.0);
  form.onResult(1, "http://127.0.0.1/r", 0.0);
  form.setAdLoaded(true);
  form.beginRestart();
  EXPECT_EQ(form.page(), PAGE_RESULT) << "the page changes with the new run's verdict";
  EXPECT_EQ(form.previousPage(), PAGE_RESULT);
  EXPECT_FALSE(form.get("TimerDisable").enabled);
  EXPECT_FALSE(form.adLoaded());
  EXPECT_EQ(visibleElements(form), (std::set<std::string>{"ImgConnecting", "ImgCenter"}));
  EXPECT_EQ(pictureOf(form, "ImgBackground"), "BACKGROUND");
  EXPECT_EQ(form.get("ImgApplogo").left, 0);
  // The repeated run's verdict goes straight to the testing page.
  EXPECT_EQ(record.introPending.load(), 0);
  record.termsAccepted = 1;
  form.onVersionVerdict(3);
  EXPECT_EQ(form.page(), PAGE_TESTING);
}

TEST_F(Pages, WebPanelsFollowTheConfigurationAndThePageCurrentWhenTheAdvertCompletes) {
  record.adUrl1 = "NULL";
  form.get("Ad_WebBrowser").setSize(300, 250);
  EXPECT_FALSE(form.onConfiguration().navigateAdvert);
  EXPECT_EQ(form.get("Ad_WebBrowser").width(), 0);
  record.adUrl1 = "http://127.0.0.1/zelvo/ad1.html";
  EXPECT_TRUE(form.onConfiguration().navigateAdvert);
  EXPECT_TRUE(form.onConfiguration().navigateInfo);

  // Completed while the terms are shown: collapsed until the testing page comes.
  form.showTermsPage();
  form.onAdDocumentComplete();
  EXPECT_TRUE(form.adLoaded());
  EXPECT_EQ(form.get("Ad_WebBrowser").width(), 0);
  form.showTestingPage();
  EXPECT_EQ(form.get("Ad_WebBrowser").width(), 300);
  EXPECT_EQ(form.get("Ad_WebBrowser").height(), 250);

  // The result page's advertisement sits beside the digits, lower at a larger resolution.
  form.setScreenDpi(120);
  record.downloadSpeed = record.uploadSpeed = 5000;
  EXPECT_TRUE(form.onResult(1, "http://127.0.0.1/r", 0.0).navigateAdvert);
  EXPECT_EQ(form.get("Ad_WebBrowser").width(), 0);
  form.onAdDocumentComplete();
  const Component& ad = form.get("Ad_WebBrowser");
  EXPECT_EQ(std::vector<int>({ad.left, ad.top, ad.width(), ad.height()}),
            std::vector<int>({400, 70, 120, 300}));
  // Without an accepted report it stays collapsed.
  record.downloadSpeed = record.uploadSpeed = 5000;
  form.onResult(2, "", 0.0);
  form.onAdDocumentComplete();
  EXPECT_EQ(form.get("Ad_WebBrowser").width(), 0);

  EXPECT_TRUE(IsWebAddress("HTTPS://127.0.0.1/a"));
  EXPECT_TRUE(IsWebAddress("http://127.0.0.1/a"));
  for (const char* address : {"file:///etc/passwd", "javascript:alert(1)", "NULL", "", "http:/x", "ftp://h/"})
    EXPECT_FALSE(IsWebAddress(address)) << address;
}

TEST_F(Pages, StartUpHidesResultLabelsAndVersionPagesAfterARestartShowTheirButtons) {
  EXPECT_FALSE(form.get("labelResultSerial").visible);
  EXPECT_FALSE(form.get("labelResultTime").visible);
  record.downloadSpeed = record.uploadSpeed = 5000;
  form.onResult(3, "", 0.0);
  form.beginRestart();
  form.showVersionOutdatedPage();
  EXPECT_EQ(visibleElements(form),
            (std::set<std::string>{"ImgAlarm", "ImgNotice", "ImgPrevious", "ImgNext", "ImgCancel"}));
  form.beginRestart();
  form.showVersionBlockedPage();
  EXPECT_EQ(visibleElements(form), (std::set<std::string>{"ImgAlarm", "ImgNotice", "ImgNext", "ImgCancel"}));
}

TEST(Version, FileVersionTextIsMajorMinorReleaseOfTheBuildVersion) {
  EXPECT_EQ(FileVersionText(FileVersionInfo{1, 2, 3, 4}), "1.2.3");
  EXPECT_EQ(FileVersionText(std::nullopt), "");
  EXPECT_EQ(FileVersionText().rfind(std::string(ZELVO_APP_VERSION) + ".", 0), 0u) << FileVersionText();
}

} // namespace
} // namespace zelvo
