#include "ui/decoders.h"

#include "ui/imageloader.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

namespace zelvo {

namespace {

bool sizeAcceptable(std::uint64_t width, std::uint64_t height, std::string& error) {
  if (width == 0 || height == 0) {
    error = "Picture has no pixels";
    return false;
  }
  if (width * height > kMaxPicturePixels) {
    error = "Picture too large (" + std::to_string(width) + " x " + std::to_string(height) + ")";
    return false;
  }
  return true;
}

// ---- PNG ------------------------------------------------------------------------------------------
// libpng's simplified reader keeps its setjmp error path inside the library; all we hold is the
// control structure, freed on every path.

struct PngImage {
  png_image image{};
  PngImage() { image.version = PNG_IMAGE_VERSION; }
  ~PngImage() { png_image_free(&image); }
  PngImage(const PngImage&) = delete;
  PngImage& operator=(const PngImage&) = delete;
};

// ---- GIF ------------------------------------------------------------------------------------------

struct GifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};
using GifHandle = std::unique_ptr<GifFileType, GifCloser>;

struct MemoryReader {
  std::span<const std::uint8_t> data;
  std::size_t at = 0;
};

int readGifBytes(GifFileType* gif, GifByteType* buffer, int length) {
  auto* reader = static_cast<MemoryReader*>(gif->UserData);
  const std::size_t left = reader->data.size() - reader->at;
  const std::size_t n = std::min<std::size_t>(left, length > 0 ? static_cast<std::size_t>(length) : 0);
  if (n) std::memcpy(buffer, reader->data.data() + reader->at, n);
  reader->at += n;
  return static_cast<int>(n);
}

std::string gifError(int code) {
  const char* text = GifErrorString(code);
  return text ? text : "GIF error " + std::to_string(code);
}

// Reads the rows of the current frame (interlaced or not) into `indices`, top to bottom.
bool readGifFrame(GifFileType* gif, int width, int height, std::vector<GifByteType>& indices) {
  indices.assign(static_cast<std::size_t>(width) * height, 0);
  auto row = [&](int y) { return indices.data() + static_cast<std::size_t>(y) * width; };
  if (gif->Image.Interlace) {
    static const int start[] = {0, 4, 2, 1};
    static const int step[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
      for (int y = start[pass]; y < height; y += step[pass])
        if (DGifGetLine(gif, row(y), width) != GIF_OK) return false;
  } else {
    for (int y = 0; y < height; ++y)
      if (DGifGetLine(gif, row(y), width) != GIF_OK) return false;
  }
  return true;
}

// ---- JPEG -----------------------------------------------------------------------------------------

struct JpegErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jpegErrorExit(j_common_ptr info) {
  auto* manager = reinterpret_cast<JpegErrorManager*>(info->err);
  (*info->err->format_message)(info, manager->message);
  std::longjmp(manager->jump, 1);
}

// libjpeg reports damaged or truncated data as warnings and fills in grey; we refuse such a picture.
void jpegEmitMessage(j_common_ptr info, int level) {
  if (level < 0) jpegErrorExit(info);
}

// Owns the decompressor; lives in the caller of runJpeg, outside the frame that calls setjmp.
struct JpegDecoder {
  jpeg_decompress_struct info{};
  JpegErrorManager errors{};
  bool created = false;
  JpegDecoder() = default;
  ~JpegDecoder() {
    if (created) jpeg_destroy_decompress(&info);
  }
  JpegDecoder(const JpegDecoder&) = delete;
  JpegDecoder& operator=(const JpegDecoder&) = delete;
};

// libjpeg leaves by longjmp on errors, so this frame holds no object with a destructor and reads no
// local after the jump; the decoder and the output live in the caller.
bool runJpeg(JpegDecoder& decoder, const std::uint8_t* data, std::size_t size, Picture& out,
             std::string& error) {
  decoder.info.err = jpeg_std_error(&decoder.errors.pub);
  decoder.errors.pub.error_exit = jpegErrorExit;
  decoder.errors.pub.emit_message = jpegEmitMessage;
  if (setjmp(decoder.errors.jump)) return false;
  jpeg_create_decompress(&decoder.info);
  decoder.created = true;
  jpeg_mem_src(&decoder.info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&decoder.info, TRUE);
  if (!sizeAcceptable(decoder.info.image_width, decoder.info.image_height, error)) return false;
  decoder.info.out_color_space = JCS_EXT_RGBA;
  jpeg_start_decompress(&decoder.info);
  out.width = static_cast<int>(decoder.info.output_width);
  out.height = static_cast<int>(decoder.info.output_height);
  out.frames.resize(1);
  auto& rgba = out.frames[0].rgba;
  rgba.resize(static_cast<std::size_t>(out.width) * out.height * 4);
  while (decoder.info.output_scanline < decoder.info.output_height) {
    JSAMPROW row = rgba.data() + static_cast<std::size_t>(decoder.info.output_scanline) * out.width * 4;
    jpeg_read_scanlines(&decoder.info, &row, 1);
  }
  jpeg_finish_decompress(&decoder.info);
  return true;
}

} // namespace

bool decodePng(std::span<const std::uint8_t> data, Picture& picture, std::string& error) {
  PngImage png;
  if (!png_image_begin_read_from_memory(&png.image, data.data(), data.size())) {
    error = png.image.message;
    return false;
  }
  if (!sizeAcceptable(png.image.width, png.image.height, error)) return false;
  Picture decoded;
  decoded.width = static_cast<int>(png.image.width);
  decoded.height = static_cast<int>(png.image.height);
  decoded.hasAlpha = (png.image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
  png.image.format = PNG_FORMAT_RGBA;
  decoded.frames.resize(1);
  auto& rgba = decoded.frames[0].rgba;
  rgba.resize(PNG_IMAGE_SIZE(png.image));
  if (!png_image_finish_read(&png.image, nullptr, rgba.data(), 0, nullptr)) {
    error = png.image.message;
    return false;
  }
  picture = std::move(decoded);
  return true;
}

bool decodeGif(std::span<const std::uint8_t> data, Picture& picture, std::string& error) {
  MemoryReader reader{data};
  int code = 0;
  GifHandle gif(DGifOpen(&reader, readGifBytes, &code));
  if (!gif) {
    error = gifError(code);
    return false;
  }
  const int width = gif->SWidth, height = gif->SHeight;
  if (!sizeAcceptable(width, height, error)) return false;

  Picture decoded;
  decoded.width = width;
  decoded.height = height;
  const std::size_t canvasBytes = static_cast<std::size_t>(width) * height * 4;
  std::vector<std::uint8_t> canvas(canvasBytes, 0), saved;
  std::vector<GifByteType> indices;
  GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
  bool declaredTransparency = false;

  for (;;) {
    GifRecordType record;
    if (DGifGetRecordType(gif.get(), &record) != GIF_OK) {
      error = gifError(gif->Error);
      return false;
    }
    if (record == TERMINATE_RECORD_TYPE) break;
    if (record == EXTENSION_RECORD_TYPE) {
      int function = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif.get(), &function, &block) != GIF_OK) {
        error = gifError(gif->Error);
        return false;
      }
      bool netscape = false;
      if (block && function == GRAPHICS_EXT_FUNC_CODE && block[0] >= 4)
        DGifExtensionToGCB(block[0], block + 1, &control);
      if (block && function == APPLICATION_EXT_FUNC_CODE && block[0] == 11)
        netscape = std::memcmp(block + 1, "NETSCAPE2.0", 11) == 0;
      while (block) {
        if (DGifGetExtensionNext(gif.get(), &block) != GIF_OK) {
          error = gifError(gif->Error);
          return false;
        }
        if (netscape && block && block[0] >= 3 && block[1] == 1) {
          decoded.loopCount = block[2] | (block[3] << 8);
          netscape = false;
        }
      }
      continue;
    }
    if (record != IMAGE_DESC_RECORD_TYPE) continue;

    if (DGifGetImageDesc(gif.get()) != GIF_OK) {
      error = gifError(gif->Error);
      return false;
    }
    const GifImageDesc& desc = gif->Image;
    if (!sizeAcceptable(desc.Width, desc.Height, error)) return false;
    if ((decoded.frames.size() + 1) * static_cast<std::uint64_t>(width) * height > kMaxPicturePixels) {
      error = "Animation too large";
      return false;
    }
    const ColorMapObject* colours = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
    if (!colours) {
      error = "GIF frame without a colour map";
      return false;
    }
    if (!readGifFrame(gif.get(), desc.Width, desc.Height, indices)) {
      error = gifError(gif->Error);
      return false;
    }
    if (control.TransparentColor != NO_TRANSPARENT_COLOR) declaredTransparency = true;
    if (control.DisposalMode == DISPOSE_PREVIOUS) saved = canvas;

    // Frames may lie partly outside the canvas; only the overlap is drawn.
    const int x0 = std::max(0, desc.Left), y0 = std::max(0, desc.Top);
    const int x1 = std::min(width, desc.Left + desc.Width), y1 = std::min(height, desc.Top + desc.Height);
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        const int index = indices[static_cast<std::size_t>(y - desc.Top) * desc.Width + (x - desc.Left)];
        // An index beyond the colour map draws nothing, like the transparent colour.
        if (index == control.TransparentColor || index >= colours->ColorCount) continue;
        std::uint8_t* p = canvas.data() + (static_cast<std::size_t>(y) * width + x) * 4;
        p[0] = colours->Colors[index].Red;
        p[1] = colours->Colors[index].Green;
        p[2] = colours->Colors[index].Blue;
        p[3] = 255;
      }
    }
    decoded.frames.push_back({canvas, control.DelayTime * 10});

    if (control.DisposalMode == DISPOSE_BACKGROUND) {
      for (int y = y0; y < y1; ++y)
        std::fill_n(canvas.data() + (static_cast<std::size_t>(y) * width + x0) * 4,
                    static_cast<std::size_t>(std::max(0, x1 - x0)) * 4, 0);
    } else if (control.DisposalMode == DISPOSE_PREVIOUS) {
      canvas = std::move(saved);
    }
    control = GraphicsControlBlock{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
  }

  if (decoded.frames.empty()) {
    error = "GIF without a frame";
    return false;
  }
  if (decoded.frames.size() == 1) {
    decoded.frames[0].delayMs = 0;
    decoded.loopCount = 1;
  }
  decoded.hasAlpha = declaredTransparency;
  for (const auto& frame : decoded.frames)
    for (std::size_t i = 3; !decoded.hasAlpha && i < frame.rgba.size(); i += 4)
      if (frame.rgba[i] != 255) decoded.hasAlpha = true;
  picture = std::move(decoded);
  return true;
}

bool decodeJpeg(std::span<const std::uint8_t> data, Picture& picture, std::string& error) {
  JpegDecoder decoder;
  Picture decoded;
  if (!runJpeg(decoder, data.data(), data.size(), decoded, error)) {
    if (error.empty()) error = decoder.errors.message;
    return false;
  }
  decoded.hasAlpha = false;
  picture = std::move(decoded);
  return true;
}

} // namespace zelvo
