// The image buttons and keys: pictures on hover, leave and press, and the action of every page.

#include "ui/buttons.h"
#include "ui/mainform.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace zelvo {
namespace {

// A form brought to a page the way the user gets there.
class Buttons : public ::testing::Test {
protected:
  Buttons() : form(record) {
    record.updateUrl = "http://127.0.0.1/update";
    form.startUp();
  }
  void TearDown() override { EXPECT_TRUE(form.takeLoadFailures().empty()); }

  void goTo(int page) {
    switch (page) {
    case PAGE_VERSION_BLOCKED:
      form.showVersionBlockedPage();
      break;
    case PAGE_VERSION_OUTDATED:
      form.showVersionOutdatedPage();
      break;
    case PAGE_TERMS:
      form.showTermsPage();
      break;
    case PAGE_TESTING:
      form.showTestingPage();
      break;
    case PAGE_RESULT:
      record.downloadSpeed = record.uploadSpeed = 5000;
      form.onResult(1, "http://127.0.0.1/result/7", 0.0);
      break;
    case PAGE_SETUP_GUIDE:
      form.showSetupGuidePage();
      break;
    case PAGE_ANNOUNCEMENT:
      form.showAnnouncementPage();
      break;
    case PAGE_ABOUT:
      form.showAboutPage();
      break;
    default:
      form.setPage(static_cast<PageKind>(page));
    }
  }
  const std::string& picture(Button b) { return form.get(buttonComponent(b)).pictureName; }

  TestRecord record;
  FormModel form;
};

TEST_F(Buttons, HoverAndLeaveOnTheTermsPage) {
  goTo(PAGE_TERMS);
  form.onMouseMove(Button::Previous);
  EXPECT_EQ(picture(Button::Previous), "BUTTON_T_OVER");
  form.onMouseMove(Button::Previous);
  EXPECT_EQ(picture(Button::Previous), "BUTTON_T_OVER");
  form.onMouseLeave("ImgPrevious");
  EXPECT_EQ(picture(Button::Previous), "BUTTON_T");
  form.onMouseMove(Button::Next);
  form.onMouseLeave("ImgCancel"); // leaving another control does not restore this one
  EXPECT_EQ(picture(Button::Next), "BUTTON_Y_OVER");
  form.onMouseLeave("MemoAnouncement");
  EXPECT_EQ(picture(Button::Next), "BUTTON_Y_OVER");
  // Where the table has a dash, hover and leave change nothing.
  goTo(PAGE_TESTING);
  const std::string next = picture(Button::Next);
  form.onMouseMove(Button::Next);
  form.onMouseLeave("ImgNext");
  EXPECT_EQ(picture(Button::Next), next);
  form.onMouseMove(Button::Report);
  EXPECT_TRUE(picture(Button::Report).empty()) << "the report button is live on the result page only";
}

TEST_F(Buttons, ResultPageHoverOnTheReportButton) {
  goTo(PAGE_RESULT);
  form.onMouseMove(Button::Report);
  EXPECT_EQ(picture(Button::Report), "BUTTON_R_OVER");
  form.onMouseLeave("ImgReport");
  EXPECT_EQ(picture(Button::Report), "BUTTON_R");
  form.onMouseMove(Button::Next);
  EXPECT_EQ(picture(Button::Next), "BUTTON_RT_OVER");
}

TEST_F(Buttons, PressesShowThePressedPictureAndAct) {
  struct Case {
    int page;
    Button button;
    FormAction action;
    const char* pressed; // nullptr: no picture change
    int pageAfter;
  };
  record.announcementText = "notice";
  const Case cases[] = {
      {1, Button::Next, FormAction::OpenDownloadAndClose, "BUTTON_D_OUT", 1},
      {1, Button::Cancel, FormAction::Close, "BUTTON_C_OUT", 1},
      {1, Button::Previous, FormAction::None, nullptr, 1},
      {2, Button::Next, FormAction::OpenDownloadAndClose, "BUTTON_D_OUT", 2},
      {2, Button::Previous, FormAction::ShowTerms, "BUTTON_T", 4}, // rebuilt: the terms' resting picture
      {2, Button::Cancel, FormAction::Close, "BUTTON_C_OUT", 2},
      {4, Button::Previous, FormAction::ShowSetupGuide, "BUTTON_T_OUT", 7}, // the guide leaves it
      {4, Button::Next, FormAction::ShowAnnouncement, "BUTTON_N", 8},
      {4, Button::Cancel, FormAction::Close, "BUTTON_C_OUT", 4},
      {4, Button::Report, FormAction::None, nullptr, 4},
      {5, Button::Cancel, FormAction::Close, "BUTTON_Q_OUT", 5},
      {5, Button::Next, FormAction::None, nullptr, 5},
      {6, Button::Cancel, FormAction::Close, "BUTTON_Q_OUT", 6},
      {6, Button::Report, FormAction::OpenReport, "BUTTON_R_OUT", 6},
      {7, Button::Cancel, FormAction::ShowTerms, "BUTTON_C", 4},
      {8, Button::Next, FormAction::ShowTesting, "BUTTON_N_OUT", 5},
      {8, Button::Cancel, FormAction::Close, "BUTTON_C_OUT", 8},
      {10, Button::Cancel, FormAction::ShowTerms, "BUTTON_C", 4},
      {0, Button::Cancel, FormAction::Close, nullptr, 0},
      {0, Button::Next, FormAction::None, nullptr, 0},
      {3, Button::Cancel, FormAction::Close, nullptr, 3},
      {9, Button::Cancel, FormAction::Close, nullptr, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "page " << c.page << " " << buttonComponent(c.button));
    goTo(c.page);
    const std::string before = picture(c.button);
    EXPECT_EQ(form.onMouseDown(c.button), c.action);
    EXPECT_EQ(form.page(), c.pageAfter);
    EXPECT_EQ(picture(c.button), c.pressed ? std::string(c.pressed) : before);
  }
}

TEST_F(Buttons, AgreeGoesToTheAnnouncementOnlyWhenThereIsOne) {
  goTo(PAGE_TERMS);
  EXPECT_EQ(form.onMouseDown(Button::Next), FormAction::ShowTesting);
  EXPECT_EQ(form.page(), PAGE_TESTING);
  EXPECT_EQ(record.termsAccepted.load(), 1);
  EXPECT_EQ(form.previousPage(), PAGE_TERMS);

  TestRecord r;
  r.announcementText = "notice";
  FormModel f(r);
  f.startUp();
  f.showTermsPage();
  EXPECT_EQ(f.onKeyPress('a'), FormAction::ShowAnnouncement);
  EXPECT_EQ(f.page(), PAGE_ANNOUNCEMENT);
  EXPECT_EQ(r.termsAccepted.load(), 1);
  EXPECT_EQ(f.onKeyPress('N'), FormAction::ShowTesting);
  EXPECT_EQ(f.page(), PAGE_TESTING);
}

TEST_F(Buttons, KeyAOnTheTermsPageShowsThePressedAgreeButtonFirst) {
  goTo(PAGE_TERMS);
  // Without an announcement the testing page follows, which hides ImgNext without reloading it, so
  // the record still holds the picture the key loaded.
  form.onKeyPress('A');
  EXPECT_EQ(form.get("ImgNext").pictureName, "BUTTON_Y_OUT") << "the testing page does not reload ImgNext";
  EXPECT_FALSE(form.get("ImgNext").visible);
}

TEST_F(Buttons, KeysPerPage) {
  struct Case {
    int page;
    char key;
    FormAction action;
    int pageAfter;
  };
  const Case cases[] = {
      {0, 'Q', FormAction::Close, 0},
      {0, 'c', FormAction::None, 0},
      {1, 'c', FormAction::Close, 1},
      {1, 'D', FormAction::OpenDownloadAndClose, 1},
      {1, 'N', FormAction::None, 1},
      {2, 'C', FormAction::Close, 2},
      {2, 'd', FormAction::OpenDownloadAndClose, 2},
      {2, 'n', FormAction::ShowTerms, 4},
      {4, 'C', FormAction::Close, 4},
      {4, 't', FormAction::ShowSetupGuide, 7},
      {4, 'Q', FormAction::None, 4},
      {5, 'C', FormAction::None, 5},
      {5, 'q', FormAction::Close, 5},
      {6, 'Q', FormAction::Close, 6},
      {6, 'r', FormAction::OpenReport, 6},
      {6, 'T', FormAction::Restart, 6},
      {7, 'P', FormAction::ShowTerms, 4},
      {7, 'C', FormAction::None, 7},
      {8, 'C', FormAction::Close, 8},
      {8, 'n', FormAction::ShowTesting, 5},
      {10, 'p', FormAction::ShowTerms, 4},
      {10, 'Q', FormAction::Close, 10},
      {10, 'C', FormAction::None, 10},
      {3, 'Q', FormAction::None, 3},
      {9, 'C', FormAction::None, 9},
      {4, '\r', FormAction::None, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "page " << c.page << " key " << c.key);
    goTo(c.page);
    EXPECT_EQ(form.onKeyPress(c.key), c.action);
    EXPECT_EQ(form.page(), c.pageAfter);
  }
}

TEST_F(Buttons, SetupGuideAndAboutReturnToTheTermsWithThePanelCollapsed) {
  goTo(PAGE_TERMS);
  form.onMouseDown(Button::Previous);
  ASSERT_EQ(form.page(), PAGE_SETUP_GUIDE);
  EXPECT_EQ(form.get("Info_WebBrowser").width(), 490);
  form.onKeyPress('P');
  EXPECT_EQ(form.page(), PAGE_TERMS);
  EXPECT_EQ(form.get("Info_WebBrowser").width(), 0);

  EXPECT_EQ(form.onCopyrightClick(), FormAction::ShowAbout);
  EXPECT_EQ(form.page(), PAGE_ABOUT);
  EXPECT_EQ(form.onCopyrightClick(), FormAction::None) << "the link works on the terms page only";
  form.onMouseDown(Button::Cancel);
  EXPECT_EQ(form.page(), PAGE_TERMS);
  EXPECT_EQ(form.previousPage(), PAGE_ABOUT);
  EXPECT_EQ(form.get("ImgBackground").pictureName, "BACKGROUND");
}

TEST_F(Buttons, TestAgainHidesTheButtonAndKeysStayOnTheResultPageDuringTheRestart) {
  record.termsAccepted = 1;
  goTo(PAGE_RESULT);
  EXPECT_EQ(form.onMouseDown(Button::Next), FormAction::Restart);
  EXPECT_FALSE(form.get("ImgNext").visible);
  EXPECT_EQ(form.get("ImgNext").pictureName, "BUTTON_RT") << "no pressed picture for test again";
  form.beginRestart();
  // The connecting page is shown but the result page's keys still apply.
  EXPECT_EQ(form.onKeyPress('r'), FormAction::OpenReport);
  EXPECT_EQ(form.reportUrl(), "http://127.0.0.1/result/7") << "the previous run's address";
  EXPECT_EQ(form.onKeyPress('t'), FormAction::Restart);
  EXPECT_EQ(form.onKeyPress('q'), FormAction::Close);
  form.onVersionVerdict(3);
  ASSERT_EQ(form.page(), PAGE_TESTING);
  EXPECT_EQ(form.onKeyPress('r'), FormAction::None);
  // The next result page shows the test-again button again.
  goTo(PAGE_RESULT);
  EXPECT_TRUE(form.get("ImgNext").visible);
}

TEST_F(Buttons, ReportKeyWorksWithoutAnAcceptedReport) {
  record.downloadSpeed = record.uploadSpeed = 5000;
  form.onResult(2, "", 0.0);
  EXPECT_FALSE(form.get("ImgReport").visible);
  EXPECT_EQ(form.onKeyPress('R'), FormAction::OpenReport);
  EXPECT_TRUE(form.reportUrl().empty());
}

TEST_F(Buttons, PointerEventsReachTheTopmostVisibleComponentEvenWithoutAPicture) {
  // At start-up the right button holds no picture but is visible: a press there quits.
  const Component* hit = form.componentAt(450, 390);
  ASSERT_NE(hit, nullptr);
  EXPECT_EQ(hit->name, "ImgCancel");
  EXPECT_EQ(buttonOf(hit->name), Button::Cancel);
  EXPECT_EQ(form.onMouseDown(*buttonOf(hit->name)), FormAction::Close);
  EXPECT_EQ(buttonOf("ImgCopyright"), std::nullopt);

  goTo(PAGE_TERMS);
  EXPECT_EQ(form.componentAt(200, 380)->name, "ImgPrevious");
  EXPECT_EQ(form.componentAt(410, 360)->name, "ImgCopyright");
  EXPECT_EQ(form.componentAt(100, 100)->name, "MemoAnouncement") << "the memo lies above the images";
  EXPECT_EQ(form.componentAt(519, 419)->name, "ImgBackground");
  EXPECT_EQ(form.componentAt(600, 10), nullptr);
  goTo(PAGE_TESTING);
  EXPECT_EQ(form.componentAt(200, 380)->name, "ImgBackground") << "a hidden button gets no events";
}

TEST_F(Buttons, TablesCoverOnlyShownPagesAndNamePicturesThatExist) {
  for (const auto& entry : buttonPictureTable()) {
    SCOPED_TRACE(entry.rest);
    EXPECT_NE(entry.page, 0);
    EXPECT_NE(entry.page, 3);
    EXPECT_NE(entry.page, 9);
    ImageComponent probe;
    EXPECT_TRUE(vLoadImage(probe, entry.rest, "PNG").loaded());
    EXPECT_TRUE(vLoadImage(probe, std::string(entry.rest) + "_OVER", "PNG").loaded());
    if (!entry.hiddenWhenPressed) {
      EXPECT_TRUE(vLoadImage(probe, std::string(entry.rest) + "_OUT", "PNG").loaded());
    }
  }
  for (const auto& key : keyTable()) {
    EXPECT_TRUE(key.key >= 'A' && key.key <= 'Z') << key.key;
    int same = 0;
    for (const auto& other : keyTable())
      same += other.page == key.page && other.key == key.key;
    EXPECT_EQ(same, 1) << "page " << key.page << " key " << key.key;
  }
}

} // namespace
} // namespace zelvo
