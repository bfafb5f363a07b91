// The built-in pictures: every picture the window loads is there, has the right form, and decodes.

#include "ui/imageloader.h"
#include "ui/resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace zelvo {
namespace {

struct Expected {
  std::string name;
  std::string type;
  int width;
  int height;
  bool alpha;
  std::size_t frames;
};

// The pictures the program loads, with type, size, alpha and frames as the catalogue lists them.
std::vector<Expected> catalogue() {
  std::vector<Expected> list = {
      {"BACKGROUND", "JPEG", 520, 420, false, 1},
      {"BACKGROUND_OVER", "PNG", 520, 420, false, 1},
      {"BACKGROUND_CR", "PNG", 520, 420, false, 1},
      {"LOADING", "GIF", 57, 53, true, 6},
      {"CONNECTING", "PNG", 262, 39, true, 1},
      {"ROTATION", "GIF", 100, 99, true, 17},
      {"LOAD", "PNG", 235, 40, true, 1},
      {"TESTING", "PNG", 194, 50, true, 1},
      {"ANALYSIS", "PNG", 235, 40, true, 1},
      {"TEXT_DOWNLINK", "PNG", 168, 16, true, 1},
      {"TEXT_DOWNLINK_END", "PNG", 112, 16, true, 1},
      {"TEXT_UPLINK", "PNG", 168, 16, true, 1},
      {"TEXT_UPLINK_END", "PNG", 112, 16, true, 1},
      {"POINT", "PNG", 13, 14, true, 1},
      {"GBPS", "PNG", 65, 31, true, 1},
      {"MBPS", "PNG", 65, 31, true, 1},
      {"KBPS", "PNG", 65, 31, true, 1},
      {"DOWNLINK", "PNG", 234, 28, true, 1},
      {"UPLINK", "PNG", 220, 28, true, 1},
      {"TEST_END", "PNG", 227, 27, true, 1},
      {"SERIAL", "PNG", 53, 34, true, 1},
      {"ANNOUNCEMENT", "PNG", 306, 22, true, 1},
      {"TEXT_BULLETIN", "PNG", 207, 22, true, 1},
      {"SETUPDOC", "PNG", 421, 24, true, 1},
      {"OPENCR", "PNG", 100, 12, true, 1},
      {"ALARMVER", "PNG", 428, 54, true, 1},
      {"UNUSE", "PNG", 470, 40, true, 1},
      {"DOWNLOAD", "PNG", 364, 127, true, 1},
      {"APPLOGO", "PNG", 176, 50, true, 1},
      {"QRT", "PNG", 156, 31, true, 1},
  };
  for (int p = 0; p <= 100; p += 10) {
    list.push_back({"PERCENT_BAR_" + std::to_string(p), "PNG", 482, 18, true, 1});
    list.push_back({"PERCENT_" + std::to_string(p), "PNG", 53, 13, true, 1});
  }
  for (int d = 0; d <= 9; ++d)
    list.push_back({"DIGIT_" + std::to_string(d), "PNG", 34, 55, true, 1});
  const struct {
    const char* name;
    int width, height;
  } buttons[] = {{"BUTTON_C", 91, 42},   {"BUTTON_D", 109, 42}, {"BUTTON_N", 109, 42},
                 {"BUTTON_P", 98, 42},   {"BUTTON_Q", 91, 42},  {"BUTTON_R", 200, 32},
                 {"BUTTON_RT", 109, 42}, {"BUTTON_T", 109, 42}, {"BUTTON_Y", 91, 42}};
  for (const auto& b : buttons)
    for (const char* suffix : {"", "_OVER", "_OUT"}) {
      if (std::string(b.name) == "BUTTON_RT" && std::string(suffix) == "_OUT") continue; // never loaded
      list.push_back({std::string(b.name) + suffix, "PNG", b.width, b.height, true, 1});
    }
  return list;
}

Picture load(const std::string& name, const std::string& type = "PNG") {
  Picture picture;
  const LoadResult result = vLoadImage(picture, name, type);
  EXPECT_TRUE(result.loaded()) << name << ": " << result.message;
  return picture;
}

int alphaAt(const Picture& p, int x, int y, std::size_t frame = 0) {
  return p.pixel(x, y, frame)[3];
}

TEST(PictureCatalogue, EveryPictureTheWindowLoadsIsBuiltInWithItsForm) {
  for (const Expected& e : catalogue()) {
    SCOPED_TRACE(e.name);
    ASSERT_TRUE(findResource(e.name, e.type).has_value());
    Picture picture;
    const LoadResult result = vLoadImage(picture, e.name, e.type);
    ASSERT_TRUE(result.loaded()) << result.message;
    EXPECT_EQ(picture.width, e.width);
    EXPECT_EQ(picture.height, e.height);
    EXPECT_EQ(picture.hasAlpha, e.alpha);
    ASSERT_EQ(picture.frames.size(), e.frames);
    for (const auto& frame : picture.frames)
      EXPECT_EQ(frame.rgba.size(), static_cast<std::size_t>(e.width) * e.height * 4);
    if (e.frames > 1) {
      EXPECT_EQ(picture.loopCount, 0) << "animations loop for ever";
      for (const auto& frame : picture.frames)
        EXPECT_GT(frame.delayMs, 0);
    }
    if (!e.alpha) {
      const auto& rgba = picture.frames[0].rgba;
      for (std::size_t i = 3; i < rgba.size(); i += 4)
        ASSERT_EQ(rgba[i], 255);
    }
  }
}

TEST(PictureCatalogue, EveryFileOfTheFolderIsEmbeddedUnderItsNameAndLanguage) {
  const std::filesystem::path folder = std::filesystem::path(ZELVO_SOURCE_DIR) / "ui" / "resources";
  std::set<std::string> seen;
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string ext = entry.path().extension().string(), stem = entry.path().stem().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string type = ext == ".png" ? "PNG" : ext == ".gif" ? "GIF" : ext == ".jpg" ? "JPEG" : "";
    ASSERT_FALSE(type.empty()) << entry.path();
    ++files;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    const auto embedded = findResource(stem, type);
    ASSERT_TRUE(embedded.has_value()) << stem;
    EXPECT_TRUE(std::equal(embedded->begin(), embedded->end(), bytes.begin(), bytes.end())) << stem;
  }
  EXPECT_EQ(embeddedResources().size(), files);
  for (const Resource& r : embeddedResources()) {
    EXPECT_EQ(r.language, 1028);
    const std::string name = r.name;
    EXPECT_TRUE(std::none_of(name.begin(), name.end(), [](unsigned char c) { return std::islower(c); }))
        << name;
    EXPECT_TRUE(seen.insert(std::string(r.type) + "/" + name).second) << "twice: " << name;
    // The same name under another language is not the program's picture.
    EXPECT_FALSE(findResource(r.name, r.type, 1033).has_value());
  }
}

TEST(PictureCatalogue, DigitSevenLiesOnTheBackgroundWithTransparentSurroundings) {
  const Picture digit = load("DIGIT_7");
  const Picture background = load("BACKGROUND", "JPEG");
  for (auto [x, y] : {std::pair{0, 0}, {33, 0}, {0, 54}, {33, 54}})
    EXPECT_EQ(alphaAt(digit, x, y), 0);
  int opaque = 0;
  for (int y = 0; y < digit.height; ++y)
    for (int x = 0; x < digit.width; ++x)
      opaque += alphaAt(digit, x, y) == 255;
  EXPECT_GT(opaque, 100) << "the digit itself is solid";
  // Blended at its place in the first download digit, a corner shows the background unchanged.
  const int left = 24, top = 88;
  const std::uint8_t* bg = background.pixel(left, top);
  const std::uint8_t* fg = digit.pixel(0, 0);
  for (int c = 0; c < 3; ++c)
    EXPECT_EQ((fg[c] * fg[3] + bg[c] * (255 - fg[3])) / 255, bg[c]);
}

// Counts opaque-ish pixels that satisfy a colour test.
template <typename Test> int countPixels(const Picture& p, Test test) {
  int n = 0;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      const std::uint8_t* px = p.pixel(x, y);
      if (px[3] > 200 && test(px[0], px[1], px[2])) ++n;
    }
  return n;
}

TEST(PictureCatalogue, ButtonStatesShowOrangeCaptionOnHoverAndGreyWhenPressed) {
  auto orange = [](int r, int g, int b) { return r > 200 && g > 70 && g < 150 && b < 80; };
  auto saturated = [](int r, int g, int b) { return std::max({r, g, b}) - std::min({r, g, b}) > 60; };
  for (const char* name : {"BUTTON_C", "BUTTON_D", "BUTTON_N", "BUTTON_P", "BUTTON_Q", "BUTTON_R",
                           "BUTTON_RT", "BUTTON_T", "BUTTON_Y"}) {
    SCOPED_TRACE(name);
    const Picture rest = load(name), over = load(std::string(name) + "_OVER");
    const Picture out = load(std::string(name) + "_OUT");
    EXPECT_GT(countPixels(over, orange), countPixels(rest, orange) + 30);
    EXPECT_LT(countPixels(out, saturated), countPixels(rest, saturated));
    EXPECT_NE(rest.frames[0].rgba, out.frames[0].rgba);
  }
}

TEST(PictureCatalogue, ProgressBarsFillFromTheLeftInTenSteps) {
  auto green = [](int r, int g, int b) { return g > 150 && g > r + 30 && g > b + 30; };
  int previous = -1;
  for (int p = 0; p <= 100; p += 10) {
    SCOPED_TRACE(p);
    const Picture bar = load("PERCENT_BAR_" + std::to_string(p));
    const int filled = countPixels(bar, green);
    if (p == 0) {
      EXPECT_EQ(filled, 0);
    } else {
      EXPECT_GT(filled, previous);
    }
    previous = filled;
    // The middle row is green up to about p percent of the width and track after it.
    const int row = bar.height / 2, edge = bar.width * p / 100;
    auto greenAt = [&](int x) {
      return green(bar.pixel(x, row)[0], bar.pixel(x, row)[1], bar.pixel(x, row)[2]);
    };
    if (p >= 20) {
      EXPECT_TRUE(greenAt(edge - 10));
    }
    if (p <= 80) {
      EXPECT_FALSE(greenAt(edge + 10));
    }
  }
}

// Some pictures are larger than the fixed-size component that shows them, which cuts them off at
// its edge; their content must lie inside the part that is shown.
TEST(PictureCatalogue, PicturesLargerThanTheirComponentKeepTheirContentInView) {
  const struct {
    const char* name;
    int visibleWidth, visibleHeight;
  } clipped[] = {{"TESTING", 241, 41},
                 {"UPLINK", 200, 25},
                 {"DOWNLINK", 257, 25},
                 {"SERIAL", 105, 33},
                 {"ALARMVER", 520, 49}};
  for (const auto& c : clipped) {
    SCOPED_TRACE(c.name);
    const Picture p = load(c.name);
    int strongestHidden = 0;
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x)
        if (x >= c.visibleWidth || y >= c.visibleHeight)
          strongestHidden = std::max(strongestHidden, alphaAt(p, x, y));
    EXPECT_LT(strongestHidden, 48) << "only a trace of shadow may be cut off";
  }
}

TEST(PictureCatalogue, AnimationsMoveAndLetTheBackgroundThrough) {
  for (const char* name : {"LOADING", "ROTATION"}) {
    SCOPED_TRACE(name);
    const Picture gif = load(name, "GIF");
    ASSERT_TRUE(gif.animated());
    for (std::size_t f = 0; f < gif.frames.size(); ++f) {
      EXPECT_EQ(alphaAt(gif, 0, 0, f), 0);
      const auto& next = gif.frames[(f + 1) % gif.frames.size()].rgba;
      EXPECT_NE(gif.frames[f].rgba, next) << "frame " << f << " repeats";
    }
  }
}

} // namespace
} // namespace zelvo
