// The headless renderer: composition of the visible image records and the PNG it writes.

#include "ui/headless.h"
#include "ui/imageloader.h"

#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace zelvo {
namespace {

Picture solid(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a, bool alpha) {
  Picture p;
  p.width = w;
  p.height = h;
  p.hasAlpha = alpha;
  PictureFrame f;
  for (int i = 0; i < w * h; ++i)
    f.rgba.insert(f.rgba.end(), {r, g, b, a});
  p.frames.push_back(std::move(f));
  return p;
}

RgbaImage canvas(int w, int h, std::uint8_t grey) {
  RgbaImage image;
  image.width = w;
  image.height = h;
  image.rgba.assign(static_cast<std::size_t>(w) * h * 4, grey);
  for (std::size_t i = 3; i < image.rgba.size(); i += 4)
    image.rgba[i] = 255;
  return image;
}

std::vector<int> rgba(const RgbaImage& image, int x, int y) {
  const std::uint8_t* p = image.pixel(x, y);
  return {p[0], p[1], p[2], p[3]};
}

TEST(HeadlessDrawing, BlendsOverCoversAndClips) {
  RgbaImage target = canvas(10, 10, 0);
  // Half-transparent white over black is mid grey; fully transparent leaves the ground.
  drawPicture(target, solid(2, 2, 255, 255, 255, 128, true), 0, 0, 0, 2, 2);
  EXPECT_NEAR(target.pixel(0, 0)[0], 128, 1);
  EXPECT_EQ(target.pixel(0, 0)[3], 255);
  drawPicture(target, solid(2, 2, 255, 0, 0, 0, true), 0, 4, 4, 2, 2);
  EXPECT_EQ(rgba(target, 4, 4), (std::vector<int>{0, 0, 0, 255}));
  // An opaque picture covers whatever alpha its pixels carry.
  drawPicture(target, solid(2, 2, 0, 0, 255, 0, false), 0, 6, 6, 2, 2);
  EXPECT_EQ(rgba(target, 7, 7), (std::vector<int>{0, 0, 255, 255}));
  // Clipped to the component's size and to the target, also at negative places.
  drawPicture(target, solid(6, 6, 0, 255, 0, 255, true), 0, -3, 5, 4, 4);
  EXPECT_EQ(rgba(target, 0, 5), (std::vector<int>{0, 255, 0, 255}));
  EXPECT_EQ(rgba(target, 0, 8), (std::vector<int>{0, 255, 0, 255}));
  EXPECT_EQ(rgba(target, 1, 5), (std::vector<int>{0, 0, 0, 255})) << "component 4 wide from -3";
  EXPECT_EQ(rgba(target, 0, 9), (std::vector<int>{0, 0, 0, 255})) << "component 4 high from 5";
  drawPicture(target, solid(4, 4, 9, 9, 9, 255, true), 0, 8, 8, 4, 4); // runs off the edge
  EXPECT_EQ(rgba(target, 9, 9), (std::vector<int>{9, 9, 9, 255}));
}

TEST(HeadlessRendering, EmptyFormIsTheWhiteClientArea) {
  TestRecord record;
  FormModel form(record);
  const RgbaImage image = renderForm(form);
  ASSERT_EQ(image.width, 520);
  ASSERT_EQ(image.height, 420);
  for (auto [x, y] : {std::pair{0, 0}, {519, 419}, {260, 210}})
    EXPECT_EQ(rgba(image, x, y), (std::vector<int>{255, 255, 255, 255}));
}

// A pixel of the picture a component holds, in client coordinates.
std::vector<int> pictureAt(const Component& c, int x, int y) {
  const std::uint8_t* p = c.image.picture.pixel(x - c.left, y - c.top);
  return {p[0], p[1], p[2], p[3]};
}

TEST(HeadlessRendering, ResultPageShowsDigitsOverTheBackgroundAndLeavesHiddenPlacesEmpty) {
  TestRecord record;
  record.downloadSpeed = 85432.1;
  record.uploadSpeed = 9071.4;
  FormModel form(record);
  form.startUp();
  form.onResult(1, "http://127.0.0.1/r", 0.0);
  const RgbaImage image = renderForm(form);
  const Component& background = form.get("ImgBackground");

  // An opaque pixel of the download tens digit (8) shows the digit exactly.
  const Component& tens = form.get("ImgDown10");
  ASSERT_EQ(tens.pictureName, "DIGIT_8");
  bool sawDigit = false;
  for (int y = tens.top; y < tens.top + tens.height() && !sawDigit; ++y)
    for (int x = tens.left; x < tens.left + tens.width() && !sawDigit; ++x)
      if (pictureAt(tens, x, y)[3] == 255) {
        EXPECT_EQ(rgba(image, x, y), pictureAt(tens, x, y));
        EXPECT_NE(rgba(image, x, y), pictureAt(background, x, y));
        sawDigit = true;
      }
  EXPECT_TRUE(sawDigit);
  // A fully transparent pixel of the digit lets the background through.
  EXPECT_EQ(pictureAt(tens, tens.left, tens.top)[3], 0);
  EXPECT_EQ(rgba(image, tens.left, tens.top), pictureAt(background, tens.left, tens.top));
  // The upload tens digit is hidden (9.07): its whole place is background.
  const Component& upTens = form.get("ImgUp10");
  ASSERT_FALSE(upTens.visible);
  for (int y = upTens.top; y < upTens.top + 55; y += 6)
    for (int x = upTens.left; x < upTens.left + 34; x += 5)
      ASSERT_EQ(rgba(image, x, y), pictureAt(background, x, y)) << x << "," << y;
}

TEST(HeadlessRendering, AnimationsShowTheChosenFrame) {
  TestRecord record;
  FormModel form(record);
  form.startUp();
  form.showTestingPage();
  const Component& rotation = form.get("ImgRotation");
  ASSERT_TRUE(rotation.image.picture.animated());
  const RgbaImage first = renderForm(form, 0);
  const RgbaImage later = renderForm(form, 5);
  const RgbaImage wrapped = renderForm(form, 5 + rotation.image.picture.frames.size());
  EXPECT_NE(first.rgba, later.rgba);
  EXPECT_EQ(later.rgba, wrapped.rgba);
}

TEST(HeadlessPng, WritesAPngThatDecodesToTheSamePixels) {
  test::Sandbox sandbox;
  TestRecord record;
  FormModel form(record);
  form.startUp();
  form.showTermsPage();
  const RgbaImage image = renderForm(form);
  const std::string path = sandbox.file("terms.png").string();
  ASSERT_TRUE(writePng(path, image));
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  Picture decoded;
  ASSERT_TRUE(decodePicture(bytes, "PNG", decoded).loaded());
  ASSERT_EQ(decoded.width, 520);
  ASSERT_EQ(decoded.height, 420);
  EXPECT_EQ(decoded.frames.at(0).rgba, image.rgba);
}

TEST(HeadlessPng, RefusesWhatItCannotWrite) {
  test::Sandbox sandbox;
  const RgbaImage image = canvas(4, 4, 7);
  EXPECT_FALSE(writePng(sandbox.file("missing/folder/x.png").string(), image));
  RgbaImage broken = image;
  broken.rgba.pop_back();
  EXPECT_FALSE(writePng(sandbox.file("broken.png").string(), broken));
  EXPECT_FALSE(std::filesystem::exists(sandbox.file("broken.png")));
  EXPECT_FALSE(writePng(sandbox.file("empty.png").string(), RgbaImage{}));
}

} // namespace
} // namespace zelvo
