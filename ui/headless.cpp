#include "ui/headless.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace zelvo {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Owns the write and info structures of one PNG being written.
class PngWriter {
public:
  PngWriter() {
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png_) info_ = png_create_info_struct(png_);
  }
  ~PngWriter() { png_destroy_write_struct(&png_, info_ ? &info_ : nullptr); }
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;

  bool ready() const { return png_ && info_; }
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

// libpng reports errors by longjmp; nothing with a destructor lives in this frame.
bool writeRows(PngWriter& writer, std::FILE* file, const RgbaImage& image, png_bytep* rows) {
  if (setjmp(png_jmpbuf(writer.png()))) return false;
  png_init_io(writer.png(), file);
  png_set_IHDR(writer.png(), writer.info(), static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(writer.png(), writer.info());
  png_write_image(writer.png(), rows);
  png_write_end(writer.png(), nullptr);
  return true;
}

} // namespace

void drawPicture(RgbaImage& target, const Picture& picture, std::size_t frame, int left, int top, int width,
                 int height) {
  if (picture.empty()) return;
  frame %= picture.frames.size();
  const int w = std::min(width, picture.width);
  const int h = std::min(height, picture.height);
  for (int y = 0; y < h; ++y) {
    const int ty = top + y;
    if (ty < 0 || ty >= target.height) continue;
    for (int x = 0; x < w; ++x) {
      const int tx = left + x;
      if (tx < 0 || tx >= target.width) continue;
      const std::uint8_t* src = picture.pixel(x, y, frame);
      std::uint8_t* dst = target.rgba.data() + (static_cast<std::size_t>(ty) * target.width + tx) * 4;
      if (!picture.hasAlpha) {
        std::copy(src, src + 3, dst);
        dst[3] = 255;
        continue;
      }
      const unsigned a = src[3];
      if (a == 0) continue;
      const unsigned da = dst[3];
      // Straight alpha "over": out = src * a + dst * (1 - a), alpha likewise.
      const unsigned outA = a + da * (255 - a) / 255;
      for (int c = 0; c < 3; ++c) {
        const unsigned value = (src[c] * a * 255 + dst[c] * da * (255 - a)) / 255;
        dst[c] = static_cast<std::uint8_t>((value + outA / 2) / outA);
      }
      dst[3] = static_cast<std::uint8_t>(outA);
    }
  }
}

RgbaImage renderForm(const FormModel& form, std::size_t frame) {
  RgbaImage image;
  image.width = kClientWidth;
  image.height = kClientHeight;
  image.rgba.assign(static_cast<std::size_t>(kClientWidth) * kClientHeight * 4, 255);
  for (const Component& c : form.components())
    if (c.isImage() && c.visible)
      drawPicture(image, c.image.picture, frame, c.left, c.top, c.width(), c.height());
  return image;
}

bool writePng(const std::string& path, const RgbaImage& image) {
  if (image.width <= 0 || image.height <= 0 ||
      image.rgba.size() != static_cast<std::size_t>(image.width) * image.height * 4)
    return false;
  PngWriter writer;
  if (!writer.ready()) return false;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) return false;
  std::vector<png_bytep> rows(static_cast<std::size_t>(image.height));
  for (int y = 0; y < image.height; ++y)
    rows[static_cast<std::size_t>(y)] =
        const_cast<png_bytep>(image.rgba.data() + static_cast<std::size_t>(y) * image.width * 4);
  bool ok = writeRows(writer, file.get(), image, rows.data());
  ok = std::fclose(file.release()) == 0 && ok;
  if (!ok) std::remove(path.c_str());
  return ok;
}

} // namespace zelvo
