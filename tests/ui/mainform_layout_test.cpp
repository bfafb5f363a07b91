// The form's components: their order, the fixed layout, hideAllPanels and the run preparation.

#include "ui/mainform.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace zelvo {
namespace {

struct Place {
  const char* name;
  int left, top, width, height; // -1: not checked
};

void expectPlace(const FormModel& form, const Place& p) {
  SCOPED_TRACE(p.name);
  const Component& c = form.get(p.name);
  EXPECT_EQ(c.left, p.left);
  EXPECT_EQ(c.top, p.top);
  if (p.width >= 0) {
    EXPECT_EQ(c.width(), p.width);
  }
  if (p.height >= 0) {
    EXPECT_EQ(c.height(), p.height);
  }
}

TEST(FormComponents, FormOrderIsTheDrawingOrderAndNamesAreUnique) {
  TestRecord record;
  FormModel form(record);
  const auto& all = form.components();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front().name, "ImgBackground") << "the background is drawn first";
  std::set<std::string> names;
  for (const auto& c : all)
    EXPECT_TRUE(names.insert(c.name).second) << c.name;
  EXPECT_EQ(all.size(), 46u); // 38 images, 3 labels, the memo, 2 web panels, 2 timers
  auto index = [&](const char* name) { return form.find(name) - &all.front(); };
  // Captions and buttons lie above the background; the bar figure comes after the bar.
  EXPECT_LT(index("ImgBackground"), index("ImgPrevious"));
  EXPECT_LT(index("ImgBar"), index("ImgBarNum"));
  EXPECT_LT(index("ImgUp100"), index("ImgUp1000")) << "the form lists the upload hundreds first";
  EXPECT_EQ(form.find("ImgNoSuchThing"), nullptr);
  EXPECT_EQ(form.get("ImgReport").kind, ComponentKind::ImageButton);
  EXPECT_EQ(form.get("labelResultTime").kind, ComponentKind::Label);
  EXPECT_EQ(form.get("Info_WebBrowser").kind, ComponentKind::WebBrowser);
}

TEST(FormComponents, DesignDefaultsBeforeAnyLayout) {
  TestRecord record;
  FormModel form(record);
  for (const auto& c : form.components()) {
    SCOPED_TRACE(c.name);
    if (c.kind == ComponentKind::Timer) {
      EXPECT_FALSE(c.enabled);
      continue;
    }
    EXPECT_EQ(c.visible, c.name != "MemoAnouncement") << "everything but the memo starts visible";
    EXPECT_TRUE(c.image.picture.empty());
    EXPECT_TRUE(c.caption.empty());
  }
  EXPECT_EQ(form.get("TimerExecute").intervalMs, 100);
  EXPECT_EQ(form.get("TimerDisable").intervalMs, 1000);
  for (const Place& p : {Place{"ImgBackground", 0, 0, 520, 420}, Place{"ImgTitle", 144, 16, 176, 33},
                         Place{"ImgTesting", 152, 112, 241, 41}, Place{"Ad_WebBrowser", 208, 8, 37, 31},
                         Place{"MemoAnouncement", 433, 56, 40, 145}})
    expectPlace(form, p);
  EXPECT_TRUE(form.get("ImgNext").image.autoSize);
  EXPECT_FALSE(form.get("ImgTitle").image.autoSize);
  EXPECT_FALSE(form.get("ImgBackground").image.autoSize) << "auto size only from the first test run";
  EXPECT_EQ(form.get("MemoAnouncement").fontPx, 15);
  EXPECT_EQ(form.get("labelResultSerial").fontName, "Arial");
}

TEST(FormLayout, EveryComponentGoesToItsFixedPlace) {
  TestRecord record;
  FormModel form(record);
  form.applyLayout();
  const Place places[] = {
      {"labelResultSerial", 150, 323, 360, -1},
      {"ImgCopyright", 400, 350, 114, 25},
      {"ImgPrevious", 190, 375, 91, 41},
      {"ImgNext", 310, 375, 100, 41},
      {"ImgCancel", 420, 375, 97, 41},
      {"ImgQrt", 10, 375, 135, 41},
      {"ImgCenter", 152, 180, 284, 41},
      {"ImgConnecting", 101, 172, 57, 57},
      {"ImgAlarm", 0, 56, 520, 49},
      {"ImgBar", 15, 340, 482, -1},
      {"ImgStatus", 15, 320, 193, 25},
      {"ImgRotation", 213, 180, 105, 105},
      {"ImgDownlinkTitle", 0, 56, -1, -1},
      {"ImgDown1000", 24, 88, 34, 55},
      {"ImgDown100", 59, 88, 34, 55},
      {"ImgDown10", 94, 88, 34, 55},
      {"ImgDown1", 129, 88, 34, 55},
      {"ImgDowndot1", 179, 88, -1, -1},
      {"ImgDowndot01", 214, 88, -1, -1},
      {"ImgDownUnit", 260, 118, -1, -1},
      {"ImgDowndot", 164, 128, -1, -1},
      {"ImgUp100", 59, 192, -1, -1},
      {"ImgUp1000", 24, 192, -1, -1},
      {"ImgUp10", 94, 192, -1, -1},
      {"ImgUp1", 129, 192, -1, -1},
      {"ImgUpdot", 164, 232, -1, -1},
      {"ImgUpdot1", 179, 192, -1, -1},
      {"ImgUpdot01", 214, 192, -1, -1},
      {"ImgUpUnit", 260, 224, -1, -1},
      {"ImgUplinkTitle", 0, 160, -1, -1},
      {"ImgReport", 94, 280, -1, -1},
      {"ImgLogo", 0, 187, 257, 113},
      {"labelLicense", 240, 160, -1, -1},
      {"ImgBarNum", 440, 320, -1, -1},
      {"ImgSerial", 94, 320, -1, -1},
      {"labelResultTime", 150, 338, 360, -1},
      {"ImgApplogo", 0, 0, 180, 50},
      {"MemoAnouncement", 17, 56, 490, 280},
      {"Info_WebBrowser", 17, 56, -1, -1},
  };
  for (const Place& p : places)
    expectPlace(form, p);
  // Pages set these; the layout leaves their design places.
  expectPlace(form, {"ImgTitle", 144, 16, 176, 33});
  expectPlace(form, {"ImgTesting", 152, 112, 241, 41});
}

TEST(FormLayout, HidesBarAndFigureWhateverTheyShowedAndRestoresMovedComponents) {
  TestRecord record;
  FormModel form(record);
  form.startUp();
  form.showTermsPage();
  form.onKeyPress('A');
  form.onProgress(1, 0);
  form.onProgress(1, 40);
  ASSERT_TRUE(form.get("ImgBar").visible);
  ASSERT_TRUE(form.get("ImgBarNum").visible);
  form.get("ImgCancel").place(1, 2);
  form.applyLayout();
  EXPECT_FALSE(form.get("ImgBar").visible);
  EXPECT_FALSE(form.get("ImgBarNum").visible);
  EXPECT_TRUE(form.get("ImgStatus").visible) << "the caption is hidden by the pages, not the layout";
  EXPECT_EQ(form.get("ImgCancel").left, 420);
  EXPECT_EQ(form.get("ImgCancel").top, 375);
}

TEST(FormLayout, HideAllPanelsHidesEveryPageElementAndNothingElse) {
  TestRecord record;
  FormModel form(record);
  form.startUp();
  for (auto name : {"MemoAnouncement", "Info_WebBrowser", "Ad_WebBrowser"})
    form.get(name).visible = true;
  form.hideAllPanels();
  const std::set<std::string> kept = {"ImgBackground", "ImgQrt", "Ad_WebBrowser"};
  for (const auto& c : form.components()) {
    if (c.kind == ComponentKind::Timer) continue;
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.visible, kept.count(c.name) == 1);
  }
  EXPECT_FALSE(form.get("ImgBackground").image.picture.empty()) << "pictures stay";
}

TEST(FormLayout, StartUpShowsTheConnectingPageAndPlacesTheAdvertisementByResolution) {
  struct Case {
    int dpi, left;
  };
  for (Case c :
       {Case{72, 208}, Case{96, 208}, Case{97, 340}, Case{120, 340}, Case{121, 470}, Case{144, 470}}) {
    SCOPED_TRACE(c.dpi);
    TestRecord record;
    FormModel form(record);
    form.setScreenDpi(c.dpi);
    form.setAdLoaded(true);
    form.startUp();
    const Component& ad = form.get("Ad_WebBrowser");
    EXPECT_EQ(ad.left, c.left);
    EXPECT_EQ(ad.top, 8);
    EXPECT_EQ(ad.width(), 0);
    EXPECT_EQ(ad.height(), 0);
    EXPECT_FALSE(form.adLoaded());
  }
  TestRecord record;
  FormModel form(record);
  form.startUp();
  EXPECT_EQ(form.page(), PAGE_WAITING);
  EXPECT_EQ(form.get("ImgBackground").pictureName, "BACKGROUND");
  EXPECT_TRUE(form.get("ImgBackground").image.autoSize);
  EXPECT_EQ(form.get("ImgConnecting").pictureName, "LOADING");
  EXPECT_TRUE(form.get("ImgConnecting").image.picture.animated());
  EXPECT_EQ(form.get("ImgCenter").pictureName, "CONNECTING");
  EXPECT_EQ(form.get("ImgQrt").pictureName, "QRT");
  EXPECT_EQ(form.get("ImgQrt").width(), form.get("ImgQrt").image.picture.width) << "auto size";
  EXPECT_EQ(form.get("Info_WebBrowser").width(), 0);
  EXPECT_TRUE(form.takeLoadFailures().empty());
}

} // namespace
} // namespace zelvo
