// vLoadImage and the decoders behind it: what loads, what is ignored, and how bad data fails.

#include "ui/imageloader.h"
#include "ui/resources.h"

#include <gtest/gtest.h>

#include <gif_lib.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace zelvo {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes resourceBytes(const char* name, const char* type) {
  const auto bytes = findResource(name, type);
  EXPECT_TRUE(bytes.has_value()) << name;
  return bytes ? Bytes(bytes->begin(), bytes->end()) : Bytes();
}

ImageComponent componentShowing(const char* name) {
  ImageComponent image;
  EXPECT_TRUE(vLoadImage(image, name, "PNG").loaded());
  return image;
}

bool samePicture(const Picture& a, const Picture& b) {
  if (a.width != b.width || a.height != b.height || a.frames.size() != b.frames.size()) return false;
  for (std::size_t i = 0; i < a.frames.size(); ++i)
    if (a.frames[i].rgba != b.frames[i].rgba) return false;
  return true;
}

TEST(PictureLoader, TypeNamesAreExactAndAnyOtherTypeLoadsNothing) {
  ImageComponent image = componentShowing("DIGIT_1");
  const Picture before = image.picture;
  for (const char* type : {"png", "Png", "JPG", "jpeg", "BMP", "", "PNG "}) {
    SCOPED_TRACE(type);
    const LoadResult result = vLoadImage(image, "DIGIT_7", type);
    EXPECT_EQ(result.status, LoadStatus::UnknownType);
    EXPECT_FALSE(result.failed()) << "ignored silently, no error box";
    EXPECT_TRUE(result.message.empty());
    EXPECT_TRUE(samePicture(image.picture, before));
  }
  EXPECT_TRUE(vLoadImage(image, "DIGIT_7", "PNG").loaded());
  EXPECT_FALSE(samePicture(image.picture, before));
}

TEST(PictureLoader, MissingNameRaisesNotFoundAndKeepsThePreviousPicture) {
  ImageComponent image = componentShowing("DIGIT_7");
  const Picture before = image.picture;
  // Misspelt digits, wrong case, a picture under the wrong type, and the unbuilt rest of a family.
  const std::pair<const char*, const char*> misses[] = {
      {"DIGT_7", "PNG"},          {"DIGIT_10", "PNG"}, {"digit_7", "PNG"},  {"DIGIT_7 ", "PNG"},
      {"BACKGROUND", "PNG"},      {"DIGIT_7", "GIF"},  {"LOADING", "JPEG"}, {"", "PNG"},
      {"PERCENT_BAR_-10", "PNG"}, {"PERCENT_5", "PNG"}};
  for (auto [name, type] : misses) {
    SCOPED_TRACE(std::string(name) + "/" + type);
    const LoadResult result = vLoadImage(image, name, type);
    EXPECT_EQ(result.status, LoadStatus::ResourceNotFound);
    EXPECT_TRUE(result.failed());
    EXPECT_NE(result.message.find(name), std::string::npos) << result.message;
    EXPECT_TRUE(samePicture(image.picture, before));
  }
}

TEST(PictureLoader, AutoSizeComponentsTakeThePictureSizeOthersKeepTheirs) {
  ImageComponent autoSized;
  autoSized.autoSize = true;
  ImageComponent fixed;
  fixed.width = 241;
  fixed.height = 41;
  ASSERT_TRUE(vLoadImage(autoSized, "BUTTON_RT", "PNG").loaded());
  ASSERT_TRUE(vLoadImage(fixed, "TESTING", "PNG").loaded());
  EXPECT_EQ(autoSized.width, 109);
  EXPECT_EQ(autoSized.height, 42);
  EXPECT_EQ(fixed.width, 241);
  EXPECT_EQ(fixed.height, 41);
  EXPECT_EQ(fixed.picture.width, 194);
  // A failed load leaves the size alone too.
  EXPECT_FALSE(vLoadImage(autoSized, "BUTTON_ZZ", "PNG").loaded());
  EXPECT_EQ(autoSized.width, 109);
}

// Truncated, garbage and foreign data must fail cleanly with the decoder's message, whatever the
// decoder, and the picture given must stay as it was.
TEST(PictureLoader, DamagedDataOfEveryKindFailsCleanlyAndKeepsThePicture) {
  const struct {
    const char* name;
    const char* type;
  } sources[] = {{"DIGIT_7", "PNG"}, {"BACKGROUND_OVER", "PNG"}, {"ROTATION", "GIF"}, {"BACKGROUND", "JPEG"}};
  std::mt19937 random(9);
  for (const auto& source : sources) {
    SCOPED_TRACE(source.name);
    const Bytes good = resourceBytes(source.name, source.type);
    Picture picture;
    ASSERT_TRUE(decodePicture(good, source.type, picture).loaded());
    const Picture before = picture;
    std::vector<Bytes> bad;
    for (std::size_t cut : {std::size_t(0), std::size_t(1), std::size_t(6), std::size_t(20), good.size() / 3,
                            good.size() / 2, good.size() - 13})
      bad.emplace_back(good.begin(), good.begin() + cut);
    Bytes garbage(good.size());
    for (auto& b : garbage)
      b = static_cast<std::uint8_t>(random());
    bad.push_back(garbage);
    Bytes headerOnly(good.begin(), good.begin() + 8);
    headerOnly.resize(4096, 0xFF);
    bad.push_back(headerOnly);
    for (const Bytes& data : bad) {
      SCOPED_TRACE(data.size());
      const LoadResult result = decodePicture(data, source.type, picture);
      EXPECT_EQ(result.status, LoadStatus::DecodeFailed);
      EXPECT_FALSE(result.message.empty());
      EXPECT_TRUE(samePicture(picture, before));
    }
  }
  // A picture decoded as another kind is corrupt for that decoder.
  Picture picture;
  EXPECT_EQ(decodePicture(resourceBytes("DIGIT_7", "PNG"), "JPEG", picture).status, LoadStatus::DecodeFailed);
  EXPECT_EQ(decodePicture(resourceBytes("BACKGROUND", "JPEG"), "GIF", picture).status,
            LoadStatus::DecodeFailed);
  EXPECT_EQ(decodePicture(resourceBytes("LOADING", "GIF"), "PNG", picture).status, LoadStatus::DecodeFailed);
  EXPECT_TRUE(picture.empty());
}

// Random damage anywhere in the data: the decoders either refuse it or hand back a consistent
// picture; never read or write outside their buffers (run under AddressSanitizer).
TEST(PictureLoader, RandomlyDamagedPicturesDecodeConsistentlyOrFail) {
  std::mt19937 random(1028);
  for (auto [name, type] : {std::pair{"BUTTON_Y", "PNG"}, {"LOADING", "GIF"}, {"BACKGROUND", "JPEG"}}) {
    SCOPED_TRACE(name);
    const Bytes good = resourceBytes(name, type);
    for (int round = 0; round < 150; ++round) {
      Bytes data = good;
      const int flips = 1 + static_cast<int>(random() % 4);
      for (int i = 0; i < flips; ++i)
        data[random() % data.size()] ^= static_cast<std::uint8_t>(1 + random() % 255);
      Picture picture;
      const LoadResult result = decodePicture(data, type, picture);
      if (result.loaded()) {
        ASSERT_FALSE(picture.frames.empty());
        for (const auto& frame : picture.frames)
          ASSERT_EQ(frame.rgba.size(), static_cast<std::size_t>(picture.width) * picture.height * 4);
      } else {
        ASSERT_EQ(result.status, LoadStatus::DecodeFailed);
        ASSERT_TRUE(picture.empty());
      }
    }
  }
}

void putBigEndian(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// A header may claim any size; nothing that large is allocated.
TEST(PictureLoader, HugeClaimedSizesAreRefusedBeforeDecoding) {
  Picture picture;
  // PNG: a well-formed IHDR (correct CRC) of 100000 x 100000 RGBA pixels.
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  auto chunk = [&png](const char* type, Bytes body) {
    Bytes c(4 + 4 + body.size() + 4);
    putBigEndian(c, 0, static_cast<std::uint32_t>(body.size()));
    std::memcpy(c.data() + 4, type, 4);
    std::copy(body.begin(), body.end(), c.begin() + 8);
    putBigEndian(c, 8 + body.size(), static_cast<std::uint32_t>(crc32(0, c.data() + 4, 4 + body.size())));
    png.insert(png.end(), c.begin(), c.end());
  };
  Bytes header(13, 0);
  putBigEndian(header, 0, 100000);
  putBigEndian(header, 4, 100000);
  header[8] = 8;
  header[9] = 6;
  chunk("IHDR", header);
  chunk("IDAT", {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
  chunk("IEND", {});
  LoadResult result = decodePicture(png, "PNG", picture);
  EXPECT_EQ(result.status, LoadStatus::DecodeFailed);
  EXPECT_NE(result.message.find("too large"), std::string::npos) << result.message;

  // GIF: a 65535 x 65535 screen.
  Bytes gif = resourceBytes("LOADING", "GIF");
  gif[6] = gif[7] = gif[8] = gif[9] = 0xFF;
  result = decodePicture(gif, "GIF", picture);
  EXPECT_EQ(result.status, LoadStatus::DecodeFailed);
  EXPECT_NE(result.message.find("too large"), std::string::npos) << result.message;

  // JPEG: the frame header claims 65500 x 65500.
  Bytes jpeg = resourceBytes("BACKGROUND", "JPEG");
  for (std::size_t i = 2; i + 9 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      jpeg[i + 5] = jpeg[i + 7] = 0xFF;
      jpeg[i + 6] = jpeg[i + 8] = 0xDC;
      break;
    }
  result = decodePicture(jpeg, "JPEG", picture);
  EXPECT_EQ(result.status, LoadStatus::DecodeFailed);
  EXPECT_NE(result.message.find("too large"), std::string::npos) << result.message;
  EXPECT_TRUE(picture.empty());
}

// ---- GIF frames composed from hand-made animations ----------------------------------------------

int writeToBytes(GifFileType* gif, const GifByteType* data, int length) {
  auto* out = static_cast<Bytes*>(gif->UserData);
  out->insert(out->end(), data, data + length);
  return length;
}

struct GifFrame {
  int left, top, width, height;
  int disposal;
  int transparent; // palette index or NO_TRANSPARENT_COLOR
  int delayCs;
  std::vector<GifByteType> pixels; // rows in file order
  bool interlaced = false;
};

// Palette: 0 red, 1 green, 2 blue, 3 white. `loops` < 0 leaves the loop extension out.
Bytes makeGif(int width, int height, const std::vector<GifFrame>& frames, int loops) {
  Bytes out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, writeToBytes, &error);
  EXPECT_NE(gif, nullptr);
  GifColorType colours[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  ColorMapObject* map = GifMakeMapObject(4, colours);
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, width, height, 2, 0, map);
  if (loops >= 0) {
    const GifByteType count[] = {1, static_cast<GifByteType>(loops & 255),
                                 static_cast<GifByteType>(loops >> 8)};
    EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
    EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0");
    EGifPutExtensionBlock(gif, 3, count);
    EGifPutExtensionTrailer(gif);
  }
  for (const GifFrame& f : frames) {
    GraphicsControlBlock control{f.disposal, false, f.delayCs, f.transparent};
    GifByteType extension[4];
    EGifGCBToExtension(&control, extension);
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, extension);
    EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlaced, nullptr);
    std::vector<GifByteType> pixels = f.pixels;
    EXPECT_EQ(EGifPutLine(gif, pixels.data(), static_cast<int>(pixels.size())), GIF_OK);
  }
  GifFreeMapObject(map);
  EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK);
  return out;
}

std::vector<GifByteType> fill(int n, GifByteType index) {
  return std::vector<GifByteType>(n, index);
}

std::string colourAt(const Picture& p, int x, int y, std::size_t frame) {
  const std::uint8_t* px = p.pixel(x, y, frame);
  if (px[3] == 0) return "clear";
  if (px[0] == 255 && px[1] == 255 && px[2] == 255) return "white";
  return px[0] == 255 ? "red" : px[1] == 255 ? "green" : px[2] == 255 ? "blue" : "other";
}

TEST(PictureGifFrames, FramesAreComposedWithDisposalTransparencyAndDelays) {
  Picture p;
  // Background disposal clears the frame's rectangle to transparency before the next frame.
  Bytes gif = makeGif(4, 4,
                      {{0, 0, 4, 4, DISPOSE_BACKGROUND, NO_TRANSPARENT_COLOR, 7, fill(16, 0)},
                       {0, 0, 2, 2, DISPOSE_DO_NOT, NO_TRANSPARENT_COLOR, 12, fill(4, 1)}},
                      0);
  ASSERT_TRUE(decodePicture(gif, "GIF", p).loaded());
  ASSERT_EQ(p.frames.size(), 2u);
  EXPECT_EQ(p.frames[0].delayMs, 70);
  EXPECT_EQ(p.frames[1].delayMs, 120);
  EXPECT_EQ(p.loopCount, 0);
  EXPECT_TRUE(p.hasAlpha);
  EXPECT_EQ(colourAt(p, 3, 3, 0), "red");
  EXPECT_EQ(colourAt(p, 1, 1, 1), "green");
  EXPECT_EQ(colourAt(p, 3, 3, 1), "clear");

  // Restore-previous puts back what lay under the frame; transparent pixels keep what lies beneath.
  gif = makeGif(4, 4,
                {{0, 0, 4, 4, DISPOSE_DO_NOT, NO_TRANSPARENT_COLOR, 5, fill(16, 0)},
                 {2, 2, 2, 2, DISPOSE_PREVIOUS, NO_TRANSPARENT_COLOR, 5, fill(4, 2)},
                 {0, 0, 2, 1, DISPOSE_DO_NOT, 1, 5, {3, 1}}},
                3);
  ASSERT_TRUE(decodePicture(gif, "GIF", p).loaded());
  ASSERT_EQ(p.frames.size(), 3u);
  EXPECT_EQ(p.loopCount, 3);
  EXPECT_TRUE(p.hasAlpha) << "a transparent colour is declared";
  EXPECT_EQ(colourAt(p, 2, 2, 1), "blue");
  EXPECT_EQ(colourAt(p, 2, 2, 2), "red");
  EXPECT_EQ(colourAt(p, 0, 0, 2), "white");
  EXPECT_EQ(colourAt(p, 1, 0, 2), "red") << "transparent index shows the frame beneath";
}

TEST(PictureGifFrames, OddFilesStillDecodeSafely) {
  Picture p;
  // A frame hanging over the canvas edge is cut to the canvas.
  Bytes gif = makeGif(4, 4, {{3, 3, 3, 3, DISPOSE_DO_NOT, NO_TRANSPARENT_COLOR, 0, fill(9, 2)}}, -1);
  ASSERT_TRUE(decodePicture(gif, "GIF", p).loaded());
  EXPECT_EQ(colourAt(p, 3, 3, 0), "blue");
  EXPECT_EQ(colourAt(p, 2, 2, 0), "clear");
  EXPECT_EQ(p.loopCount, 1) << "a still";
  EXPECT_EQ(p.frames[0].delayMs, 0);

  // Interlaced rows arrive in four passes (0; 4; 2, 6; 1, 3, 5, 7) and land in their own rows.
  GifFrame interlaced{0, 0, 1, 8, DISPOSE_DO_NOT, NO_TRANSPARENT_COLOR, 0, {}, true};
  for (int row : {0, 4, 2, 6, 1, 3, 5, 7})
    interlaced.pixels.push_back(static_cast<GifByteType>(row % 4));
  ASSERT_TRUE(decodePicture(makeGif(1, 8, {interlaced}, -1), "GIF", p).loaded());
  const char* expected[] = {"red", "green", "blue", "white"};
  for (int y = 0; y < 8; ++y)
    EXPECT_EQ(colourAt(p, 0, y, 0), expected[y % 4]) << "row " << y;

  // Without any colour table there is nothing to draw with: an error, not a guess.
  const Bytes withTable = {'G', 'I',  'F',  '8',  '9',  'a',  1,    0,    1,    0, 0x80, 0,
                           0,   0x10, 0x20, 0x30, 0xFF, 0xFF, 0xFF, ',',  0,    0, 0,    0,
                           1,   0,    1,    0,    0,    2,    2,    0x44, 0x01, 0, ';'};
  ASSERT_TRUE(decodePicture(withTable, "GIF", p).loaded());
  EXPECT_EQ(p.pixel(0, 0)[0], 0x10);
  Bytes withoutTable = withTable;
  withoutTable[10] = 0;
  withoutTable.erase(withoutTable.begin() + 13, withoutTable.begin() + 19);
  const LoadResult result = decodePicture(withoutTable, "GIF", p);
  EXPECT_EQ(result.status, LoadStatus::DecodeFailed);
  EXPECT_NE(result.message.find("colour map"), std::string::npos) << result.message;
  // And a GIF that ends before its trailer is truncated.
  Bytes noTrailer = withTable;
  noTrailer.pop_back();
  EXPECT_EQ(decodePicture(noTrailer, "GIF", p).status, LoadStatus::DecodeFailed);
}

} // namespace
} // namespace zelvo
