// Draws the program's pictures into ui/resources/ and composes a few pages into ui/artwork/preview/.
//
// Usage: zelvo-artwork RESOURCES_DIR PREVIEW_DIR
//        zelvo-artwork --icons DIR NAME   (the application icon into DIR/NxN/apps/NAME.png)
// Change a caption or a colour here and draw again; the program embeds whatever lies in resources/.

#include <cstdio>

#include <cairo.h>
#include <gif_lib.h>
#include <jpeglib.h>
#include <pango/pangocairo.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// ---- handles --------------------------------------------------------------------------------------

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
struct CairoDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Cairo = std::unique_ptr<cairo_t, CairoDeleter>;
struct LayoutDeleter {
  void operator()(PangoLayout* l) const { g_object_unref(l); }
};
using Layout = std::unique_ptr<PangoLayout, LayoutDeleter>;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "zelvo-artwork: %s\n", what.c_str());
  std::exit(1);
}

// ---- colours ----------------------------------------------------------------------------------------

struct Colour {
  double r, g, b, a = 1.0;
};
Colour hex(unsigned v, double a = 1.0) {
  return {((v >> 16) & 255) / 255.0, ((v >> 8) & 255) / 255.0, (v & 255) / 255.0, a};
}
void set(cairo_t* cr, Colour c) {
  cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
}

const Colour kWhite = hex(0xFFFFFF);
const Colour kShadow = hex(0x7A2E00, 0.55);
const Colour kInk = hex(0x4A2A10);       // button captions and dark text
const Colour kHover = hex(0xF26A0F);     // caption of a button under the pointer
const Colour kGreyInk = hex(0x9C958F);   // caption of a pressed button
const Colour kDeepBrown = hex(0x3A200C); // captions beside the black result labels
const Colour kGreenTop = hex(0x9EE35F);
const Colour kGreenBottom = hex(0x34B248);

const char* kFamily = "Noto Sans CJK TC";

// ---- surfaces ---------------------------------------------------------------------------------------

Surface newSurface(int w, int h, bool opaque = false) {
  return Surface(cairo_image_surface_create(opaque ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32, w, h));
}
Cairo newCairo(cairo_surface_t* s) {
  return Cairo(cairo_create(s));
}

// Box blur of a premultiplied ARGB32 surface (three passes approach a Gaussian).
void blur(cairo_surface_t* s, int radius) {
  if (radius <= 0) return;
  cairo_surface_flush(s);
  const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  const int stride = cairo_image_surface_get_stride(s);
  unsigned char* data = cairo_image_surface_get_data(s);
  std::vector<unsigned char> tmp(static_cast<size_t>(stride) * h);
  for (int pass = 0; pass < 3; ++pass) {
    for (int horizontal = 1; horizontal >= 0; --horizontal) {
      std::memcpy(tmp.data(), data, tmp.size());
      const int n = horizontal ? w : h, lines = horizontal ? h : w;
      for (int line = 0; line < lines; ++line) {
        for (int c = 0; c < 4; ++c) {
          auto at = [&](int i) -> unsigned char& {
            i = std::clamp(i, 0, n - 1);
            return horizontal ? tmp[static_cast<size_t>(line) * stride + i * 4 + c]
                              : tmp[static_cast<size_t>(i) * stride + line * 4 + c];
          };
          int sum = 0;
          for (int i = -radius; i <= radius; ++i)
            sum += (i < 0 || i >= n) ? 0 : at(i);
          for (int i = 0; i < n; ++i) {
            unsigned char& out = horizontal ? data[static_cast<size_t>(line) * stride + i * 4 + c]
                                            : data[static_cast<size_t>(i) * stride + line * 4 + c];
            out = static_cast<unsigned char>(sum / (2 * radius + 1));
            const int leaving = i - radius, entering = i + radius + 1;
            if (leaving >= 0) sum -= at(leaving);
            if (entering < n) sum += at(entering);
          }
        }
      }
    }
  }
  cairo_surface_mark_dirty(s);
}

// Draws `shape` (in the colour the shape sets) with a soft shadow under it.
void withShadow(cairo_t* cr, int w, int h, const std::function<void(cairo_t*)>& shape, double dx = 0,
                double dy = 1, int radius = 1, Colour shadow = kShadow) {
  Surface mask = newSurface(w, h);
  {
    Cairo m = newCairo(mask.get());
    cairo_translate(m.get(), dx, dy);
    shape(m.get());
  }
  blur(mask.get(), radius);
  cairo_save(cr);
  set(cr, shadow);
  cairo_mask_surface(cr, mask.get(), 0, 0);
  cairo_restore(cr);
  shape(cr);
}

// ---- text -------------------------------------------------------------------------------------------

Layout makeLayout(cairo_t* cr, const std::string& markup, double px, int weight = PANGO_WEIGHT_BOLD,
                  const char* family = kFamily) {
  Layout layout(pango_cairo_create_layout(cr));
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  pango_cairo_context_set_font_options(pango_layout_get_context(layout.get()), options);
  cairo_font_options_destroy(options);
  PangoFontDescription* font = pango_font_description_new();
  pango_font_description_set_family(font, family);
  pango_font_description_set_weight(font, static_cast<PangoWeight>(weight));
  pango_font_description_set_absolute_size(font, px * PANGO_SCALE);
  pango_layout_set_font_description(layout.get(), font);
  pango_font_description_free(font);
  pango_layout_set_markup(layout.get(), markup.c_str(), -1);
  return layout;
}

PangoRectangle inkOf(PangoLayout* layout) {
  PangoRectangle ink, logical;
  pango_layout_get_pixel_extents(layout, &ink, &logical);
  return ink;
}

enum class Align { Left, Centre, Right };

struct TextSpec {
  std::string markup;
  double px = 16;
  int weight = PANGO_WEIGHT_BOLD;
  Colour colour = kWhite;
  bool shadow = true;
  Align align = Align::Centre;
  const char* family = kFamily;
};

// Largest size up to spec.px whose ink fits the box; the text is placed in the box by its ink.
struct Placed {
  Layout layout;
  double x, y;
  PangoRectangle ink;
};
Placed fitText(cairo_t* cr, const TextSpec& spec, double bx, double by, double bw, double bh) {
  for (double px = spec.px;; px -= 0.5) {
    Layout layout = makeLayout(cr, spec.markup, px, spec.weight, spec.family);
    PangoRectangle ink = inkOf(layout.get());
    if ((ink.width <= bw && ink.height <= bh) || px <= 6) {
      double x = spec.align == Align::Left    ? bx - ink.x
                 : spec.align == Align::Right ? bx + bw - ink.width - ink.x
                                              : bx + (bw - ink.width) / 2.0 - ink.x;
      double y = by + (bh - ink.height) / 2.0 - ink.y;
      return {std::move(layout), std::round(x), std::round(y), ink};
    }
  }
}

void drawText(cairo_t* cr, int w, int h, const TextSpec& spec, double bx, double by, double bw, double bh) {
  Placed placed = fitText(cr, spec, bx, by, bw, bh);
  auto shape = [&](cairo_t* c) {
    set(c, spec.colour);
    cairo_move_to(c, placed.x, placed.y);
    pango_cairo_show_layout(c, placed.layout.get());
  };
  if (spec.shadow)
    withShadow(cr, w, h, shape);
  else
    shape(cr);
}

// ---- shapes -----------------------------------------------------------------------------------------

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
  r = std::min({r, w / 2, h / 2});
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
  cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

// The product's mark: a speed gauge with its needle, in a circle of diameter d at (x, y).
void gaugeMark(cairo_t* cr, double x, double y, double d, Colour face, Colour ink) {
  const double cx = x + d / 2, cy = y + d / 2, r = d / 2;
  set(cr, face);
  cairo_arc(cr, cx, cy, r, 0, 2 * M_PI);
  cairo_fill(cr);
  set(cr, ink);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_width(cr, d * 0.09);
  cairo_arc(cr, cx, cy + r * 0.12, r * 0.62, M_PI * 0.85, M_PI * 2.15);
  cairo_stroke(cr);
  for (int i = 0; i <= 4; ++i) {
    const double a = M_PI * (0.85 + 1.3 * i / 4.0);
    cairo_set_line_width(cr, d * 0.045);
    cairo_move_to(cr, cx + std::cos(a) * r * 0.40, cy + r * 0.12 + std::sin(a) * r * 0.40);
    cairo_line_to(cr, cx + std::cos(a) * r * 0.48, cy + r * 0.12 + std::sin(a) * r * 0.48);
    cairo_stroke(cr);
  }
  const double needle = M_PI * 1.78;
  cairo_set_line_width(cr, d * 0.085);
  cairo_move_to(cr, cx, cy + r * 0.12);
  cairo_line_to(cr, cx + std::cos(needle) * r * 0.55, cy + r * 0.12 + std::sin(needle) * r * 0.55);
  cairo_stroke(cr);
  cairo_arc(cr, cx, cy + r * 0.12, d * 0.09, 0, 2 * M_PI);
  cairo_fill(cr);
}

// The operator's mark: a rounded square with a Z of three strokes and a signal arc.
void operatorMark(cairo_t* cr, double x, double y, double d, Colour face, Colour ink) {
  set(cr, face);
  roundedRect(cr, x, y, d, d, d * 0.26);
  cairo_fill(cr);
  set(cr, ink);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_width(cr, d * 0.13);
  cairo_move_to(cr, x + d * 0.28, y + d * 0.30);
  cairo_line_to(cr, x + d * 0.72, y + d * 0.30);
  cairo_line_to(cr, x + d * 0.30, y + d * 0.72);
  cairo_line_to(cr, x + d * 0.72, y + d * 0.72);
  cairo_stroke(cr);
}

void arrow(cairo_t* cr, double cx, double cy, double size, bool down) {
  const double s = down ? 1 : -1;
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_width(cr, size * 0.16);
  cairo_move_to(cr, cx, cy - s * size * 0.34);
  cairo_line_to(cr, cx, cy + s * size * 0.32);
  cairo_stroke(cr);
  cairo_move_to(cr, cx - size * 0.28, cy + s * size * 0.06);
  cairo_line_to(cr, cx, cy + s * size * 0.34);
  cairo_line_to(cr, cx + size * 0.28, cy + s * size * 0.06);
  cairo_stroke(cr);
}

void check(cairo_t* cr, double cx, double cy, double size) {
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_width(cr, size * 0.16);
  cairo_move_to(cr, cx - size * 0.28, cy + size * 0.02);
  cairo_line_to(cr, cx - size * 0.06, cy + size * 0.24);
  cairo_line_to(cr, cx + size * 0.30, cy - size * 0.22);
  cairo_stroke(cr);
}

// ---- the window background --------------------------------------------------------------------------

void background(cairo_t* cr) {
  cairo_pattern_t* g = cairo_pattern_create_linear(0, 0, 0, 420);
  cairo_pattern_add_color_stop_rgb(g, 0.0, 1.00, 0.64, 0.24);
  cairo_pattern_add_color_stop_rgb(g, 0.55, 0.97, 0.50, 0.11);
  cairo_pattern_add_color_stop_rgb(g, 1.0, 0.93, 0.41, 0.07);
  cairo_set_source(cr, g);
  cairo_paint(cr);
  cairo_pattern_destroy(g);
  // A soft light from the upper left.
  cairo_pattern_t* light = cairo_pattern_create_radial(110, 30, 0, 110, 30, 420);
  cairo_pattern_add_color_stop_rgba(light, 0, 1, 1, 1, 0.20);
  cairo_pattern_add_color_stop_rgba(light, 1, 1, 1, 1, 0.0);
  cairo_set_source(cr, light);
  cairo_paint(cr);
  cairo_pattern_destroy(light);
  // Speed rings from the lower right corner.
  cairo_set_line_width(cr, 12);
  for (int i = 0; i < 7; ++i) {
    cairo_set_source_rgba(cr, 1, 1, 1, 0.045 - i * 0.004);
    cairo_arc(cr, 560, 470, 150 + i * 46, 0, 2 * M_PI);
    cairo_stroke(cr);
  }
  // The footer band under the buttons.
  cairo_set_source_rgba(cr, 0.35, 0.12, 0.0, 0.10);
  cairo_rectangle(cr, 0, 364, 520, 56);
  cairo_fill(cr);
  cairo_set_source_rgba(cr, 1, 1, 1, 0.28);
  cairo_rectangle(cr, 0, 364, 520, 1);
  cairo_fill(cr);
}

// ---- pictures ---------------------------------------------------------------------------------------

struct Drawn {
  Surface surface;             // stills; first frame of an animation
  std::vector<Surface> frames; // animations, after reduction to the GIF palette
  std::string type;            // PNG, JPEG, GIF
};
std::map<std::string, Drawn> drawnPictures;
std::string outDir;

// RGBA for pictures with alpha, RGB for opaque ones. Only the Sub and Up filters are offered to the
// encoder: they cost the program far less to undo than Paeth on the full-window backgrounds.
void writePng(const std::string& path, cairo_surface_t* s) {
  cairo_surface_flush(s);
  const bool opaque = cairo_image_surface_get_format(s) == CAIRO_FORMAT_RGB24;
  const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  const int stride = cairo_image_surface_get_stride(s), channels = opaque ? 3 : 4;
  const unsigned char* data = cairo_image_surface_get_data(s);
  std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * channels);
  for (int y = 0; y < h; ++y) {
    const uint32_t* px = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < w; ++x) {
      const uint32_t p = px[x];
      const unsigned a = opaque ? 255 : p >> 24;
      unsigned char* o = pixels.data() + (static_cast<size_t>(y) * w + x) * channels;
      for (int c = 0; c < 3; ++c) {
        const unsigned v = (p >> (16 - 8 * c)) & 255; // premultiplied in cairo
        o[c] = static_cast<unsigned char>(a == 0 ? 0 : std::min(255u, (v * 255 + a / 2) / a));
      }
      if (!opaque) o[3] = static_cast<unsigned char>(a);
    }
  }
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) fail("cannot write " + path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) fail("cannot encode " + path);
  png_init_io(png, file);
  png_set_IHDR(png, info, w, h, 8, opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB | PNG_FILTER_UP);
  png_set_compression_level(png, 9);
  png_write_info(png, info);
  for (int y = 0; y < h; ++y)
    png_write_row(png, pixels.data() + static_cast<size_t>(y) * w * channels);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
}

void savePng(const std::string& name, Surface s) {
  writePng(outDir + "/" + name + ".png", s.get());
  drawnPictures[name] = Drawn{std::move(s), {}, "PNG"};
}

void saveJpeg(const std::string& name, Surface s) {
  const std::string path = outDir + "/" + name + ".jpg";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) fail("cannot write " + path);
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file);
  const int w = cairo_image_surface_get_width(s.get()), h = cairo_image_surface_get_height(s.get());
  info.image_width = w;
  info.image_height = h;
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 92, TRUE);
  info.comp_info[0].h_samp_factor = info.comp_info[0].v_samp_factor = 1; // no chroma blur on text edges
  jpeg_start_compress(&info, TRUE);
  cairo_surface_flush(s.get());
  const unsigned char* data = cairo_image_surface_get_data(s.get());
  const int stride = cairo_image_surface_get_stride(s.get());
  std::vector<unsigned char> row(static_cast<size_t>(w) * 3);
  for (int y = 0; y < h; ++y) {
    const uint32_t* px = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < w; ++x) {
      row[x * 3] = (px[x] >> 16) & 255;
      row[x * 3 + 1] = (px[x] >> 8) & 255;
      row[x * 3 + 2] = px[x] & 255;
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&info, &r, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::fclose(file);
  drawnPictures[name] = Drawn{std::move(s), {}, "JPEG"};
}

// An animation drawn in white on transparency. The GIF palette is the matte (the background the
// animation sits on) blended towards white by the alpha, index 0 being the transparent colour, so
// the anti-aliased edges survive the reduction to 256 colours.
void saveGif(const std::string& name, std::vector<Surface> frames, int delayCs, Colour matte) {
  const std::string path = outDir + "/" + name + ".gif";
  const int w = cairo_image_surface_get_width(frames[0].get()),
            h = cairo_image_surface_get_height(frames[0].get());
  int error = 0;
  GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
  if (!gif) fail("cannot write " + path);
  GifColorType colours[256];
  for (int i = 0; i < 256; ++i) {
    const double a = i / 255.0;
    colours[i].Red = static_cast<GifByteType>(std::lround((matte.r * (1 - a) + a) * 255));
    colours[i].Green = static_cast<GifByteType>(std::lround((matte.g * (1 - a) + a) * 255));
    colours[i].Blue = static_cast<GifByteType>(std::lround((matte.b * (1 - a) + a) * 255));
  }
  ColorMapObject* map = GifMakeMapObject(256, colours);
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, w, h, 8, 0, map);
  const GifByteType loop[] = {1, 0, 0};
  EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
  EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0");
  EGifPutExtensionBlock(gif, 3, loop);
  EGifPutExtensionTrailer(gif);
  std::vector<Surface> reduced;
  for (auto& frame : frames) {
    GraphicsControlBlock control{DISPOSE_BACKGROUND, false, delayCs, 0};
    GifByteType extension[4];
    EGifGCBToExtension(&control, extension);
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, extension);
    EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr);
    cairo_surface_flush(frame.get());
    const unsigned char* data = cairo_image_surface_get_data(frame.get());
    const int stride = cairo_image_surface_get_stride(frame.get());
    Surface back = newSurface(w, h);
    unsigned char* out = cairo_image_surface_get_data(back.get());
    std::vector<GifByteType> line(w);
    for (int y = 0; y < h; ++y) {
      const uint32_t* px = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
      uint32_t* o = reinterpret_cast<uint32_t*>(out + static_cast<size_t>(y) * stride);
      for (int x = 0; x < w; ++x) {
        const int a = (px[x] >> 24) & 255;
        line[x] = static_cast<GifByteType>(a < 20 ? 0 : a);
        const GifColorType& c = colours[line[x]];
        o[x] = line[x] ? (0xFFu << 24 | c.Red << 16 | c.Green << 8 | c.Blue) : 0;
      }
      EGifPutLine(gif, line.data(), w);
    }
    cairo_surface_mark_dirty(back.get());
    reduced.push_back(std::move(back));
  }
  GifFreeMapObject(map);
  if (EGifCloseFile(gif, &error) != GIF_OK) fail("cannot finish " + path);
  Surface first = std::move(reduced[0]);
  reduced[0] = Surface(cairo_surface_reference(first.get()));
  drawnPictures[name] = Drawn{std::move(first), std::move(reduced), "GIF"};
}

// Average colour of the window background under a rectangle: the matte of an animation.
Colour matteUnder(double x, double y, double w, double h) {
  Surface s = newSurface(520, 420, true);
  {
    Cairo c = newCairo(s.get());
    background(c.get());
  }
  cairo_surface_flush(s.get());
  const unsigned char* data = cairo_image_surface_get_data(s.get());
  const int stride = cairo_image_surface_get_stride(s.get());
  double r = 0, g = 0, b = 0;
  int n = 0;
  for (int yy = static_cast<int>(y); yy < y + h; ++yy)
    for (int xx = static_cast<int>(x); xx < x + w; ++xx) {
      const uint32_t p = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(yy) * stride)[xx];
      r += (p >> 16) & 255, g += (p >> 8) & 255, b += p & 255, ++n;
    }
  return {r / n / 255, g / n / 255, b / n / 255};
}

// A caption picture: white text with a soft shadow, fitted into the picture.
void caption(const std::string& name, int w, int h, TextSpec spec, double padX = 2, double visibleH = 0,
             double boxW = 0) {
  Surface s = newSurface(w, h);
  Cairo cr = newCairo(s.get());
  // Small pictures need every row; larger ones keep a margin for the shadow.
  const double bh = (visibleH > 0 ? visibleH : h) - (h < 20 ? 1 : 3);
  const double by = h < 20 ? 0 : 1;
  drawText(cr.get(), w, h, spec, padX, by, boxW > 0 ? boxW : w - 2 * padX, bh);
  cr.reset();
  savePng(name, std::move(s));
}

// Chinese in bold, English in regular weight, in the order the catalogue writes them.
std::string titleMarkup(const std::string& first, const std::string& second, bool chineseFirst) {
  const std::string zh = chineseFirst ? first : second, en = chineseFirst ? second : first;
  const std::string zhPart = "<span weight='bold'>" + zh + "</span>";
  const std::string enPart = "<span weight='normal' font_size='82%' alpha='96%'>" + en + "</span>";
  return chineseFirst ? zhPart + "  " + enPart : enPart + "  " + zhPart;
}

void title(const std::string& name, int w, int h, const std::string& markup, double visibleH = 0) {
  caption(name, w, h, TextSpec{markup, 19, PANGO_WEIGHT_BOLD, kWhite, true, Align::Left}, 2, visibleH);
}

enum class ButtonState { Rest, Over, Out };

void button(const std::string& name, int w, int h, const std::string& label, ButtonState state,
            bool reportIcon = false) {
  Surface s = newSurface(w, h);
  Cairo crHolder = newCairo(s.get());
  cairo_t* cr = crHolder.get();
  const bool pressed = state == ButtonState::Out;
  const double inset = 2, faceH = h - 6, faceY = pressed ? 3 : 2, radius = faceH / 2;
  auto face = [&](cairo_t* c) {
    roundedRect(c, inset, faceY, w - 2 * inset, faceH, radius);
    cairo_pattern_t* g = cairo_pattern_create_linear(0, faceY, 0, faceY + faceH);
    if (pressed) {
      cairo_pattern_add_color_stop_rgb(g, 0, 0.80, 0.78, 0.76);
      cairo_pattern_add_color_stop_rgb(g, 1, 0.88, 0.86, 0.84);
    } else if (state == ButtonState::Over) {
      cairo_pattern_add_color_stop_rgb(g, 0, 1.0, 1.0, 1.0);
      cairo_pattern_add_color_stop_rgb(g, 1, 1.0, 0.97, 0.92);
    } else {
      cairo_pattern_add_color_stop_rgb(g, 0, 1.0, 0.99, 0.97);
      cairo_pattern_add_color_stop_rgb(g, 1, 1.0, 0.91, 0.80);
    }
    cairo_set_source(c, g);
    cairo_fill(c);
    cairo_pattern_destroy(g);
  };
  if (pressed)
    withShadow(cr, w, h, face, 0, 0.5, 1, hex(0x5A2200, 0.35));
  else
    withShadow(cr, w, h, face, 0, 2, 2, hex(0x6A2600, 0.45));
  // Rim: orange under the pointer, a thin warm line otherwise.
  roundedRect(cr, inset + 0.5, faceY + 0.5, w - 2 * inset - 1, faceH - 1, radius - 0.5);
  set(cr, state == ButtonState::Over ? hex(0xF26A0F, 0.9) : hex(0xA04A10, pressed ? 0.25 : 0.30));
  cairo_set_line_width(cr, state == ButtonState::Over ? 1.5 : 1.0);
  cairo_stroke(cr);
  if (!pressed) {
    // A gloss on the upper half.
    roundedRect(cr, inset + 3, faceY + 1.5, w - 2 * inset - 6, faceH * 0.42, radius - 2);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.55);
    cairo_fill(cr);
  }
  const Colour ink = state == ButtonState::Over ? kHover : pressed ? kGreyInk : kInk;
  double textX = inset + radius * 0.6, textW = w - 2 * inset - radius * 1.2;
  if (reportIcon) {
    // A report sheet before the caption.
    const double ix = 14, iy = faceY + faceH / 2 - 8;
    set(cr, ink);
    cairo_set_line_width(cr, 1.6);
    roundedRect(cr, ix, iy, 12, 16, 2);
    cairo_stroke(cr);
    for (int i = 0; i < 3; ++i) {
      cairo_move_to(cr, ix + 3, iy + 5 + i * 3.5);
      cairo_line_to(cr, ix + 9, iy + 5 + i * 3.5);
      cairo_stroke(cr);
    }
    textX = ix + 16;
    textW = w - textX - radius * 0.8;
  }
  TextSpec spec{label, 15, PANGO_WEIGHT_BOLD, ink, false, Align::Centre};
  drawText(cr, w, h, spec, textX, faceY + 1, textW, faceH - 2);
  crHolder.reset();
  savePng(name, std::move(s));
}

void buttonFamily(const std::string& name, int w, int h, const std::string& label, bool reportIcon = false) {
  button(name, w, h, label, ButtonState::Rest, reportIcon);
  button(name + "_OVER", w, h, label, ButtonState::Over, reportIcon);
  button(name + "_OUT", w, h, label, ButtonState::Out, reportIcon);
}

// Digits share one size and one baseline, so that a row of them reads as one number.
constexpr double kDigitInkTop = 6, kDigitInkBottom = 50;

void digit(int d) {
  const int w = 34, h = 55;
  Surface s = newSurface(w, h);
  Cairo cr = newCairo(s.get());
  const std::string text = std::to_string(d);
  // Size the font by the height of "0"; condense sideways where a digit would not fit 30 pixels.
  Layout zero = makeLayout(cr.get(), "0", 40);
  const double scale = (kDigitInkBottom - kDigitInkTop) / inkOf(zero.get()).height;
  Layout layout = makeLayout(cr.get(), text, 40 * scale);
  const PangoRectangle ink = inkOf(layout.get());
  const double squeeze = std::min(1.0, 29.0 / ink.width);
  auto shape = [&](cairo_t* c) {
    cairo_save(c);
    cairo_translate(c, w / 2.0, 0);
    cairo_scale(c, squeeze, 1);
    const PangoRectangle zeroInk = inkOf(makeLayout(c, "0", 40 * scale).get());
    cairo_move_to(c, -ink.x - ink.width / 2.0, kDigitInkBottom - (zeroInk.y + zeroInk.height));
    set(c, kWhite);
    pango_cairo_show_layout(c, layout.get());
    cairo_restore(c);
  };
  withShadow(cr.get(), w, h, shape, 1, 2, 2, hex(0x6A2400, 0.60));
  cr.reset();
  savePng("DIGIT_" + text, std::move(s));
}

void point() {
  Surface s = newSurface(13, 14);
  Cairo cr = newCairo(s.get());
  withShadow(
      cr.get(), 13, 14,
      [](cairo_t* c) {
        set(c, kWhite);
        cairo_arc(c, 6.0, 6.5, 3.6, 0, 2 * M_PI);
        cairo_fill(c);
      },
      0.5, 1, 1, hex(0x6A2400, 0.60));
  cr.reset();
  savePng("POINT", std::move(s));
}

// Units stand on the digits' baseline: the unit picture sits 30 pixels lower than the digits.
void unit(const std::string& name, const std::string& text) {
  const int w = 65, h = 31;
  Surface s = newSurface(w, h);
  Cairo cr = newCairo(s.get());
  Layout layout = makeLayout(cr.get(), text, 21);
  const int baseline = pango_layout_get_baseline(layout.get()) / PANGO_SCALE;
  const PangoRectangle ink = inkOf(layout.get());
  withShadow(
      cr.get(), w, h,
      [&](cairo_t* c) {
        set(c, kWhite);
        cairo_move_to(c, 4 - ink.x, 20 - baseline);
        pango_cairo_show_layout(c, layout.get());
      },
      1, 1, 1, hex(0x6A2400, 0.60));
  cr.reset();
  savePng(name, std::move(s));
}

void progressBar(int percent) {
  const int w = 482, h = 18;
  Surface s = newSurface(w, h);
  Cairo crHolder = newCairo(s.get());
  cairo_t* cr = crHolder.get();
  roundedRect(cr, 0, 0, w, h, h / 2.0);
  cairo_set_source_rgba(cr, 0.24, 0.08, 0.0, 0.55);
  cairo_fill(cr);
  // Inner shadow along the top of the track.
  roundedRect(cr, 1, 1, w - 2, h / 2.0, h / 4.0);
  cairo_set_source_rgba(cr, 0, 0, 0, 0.12);
  cairo_fill(cr);
  roundedRect(cr, 0.5, 0.5, w - 1, h - 1, h / 2.0 - 0.5);
  cairo_set_source_rgba(cr, 1, 1, 1, 0.35);
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);
  if (percent > 0) {
    const double inner = w - 4, fill = std::max(h - 4.0, inner * percent / 100.0);
    roundedRect(cr, 2, 2, fill, h - 4, (h - 4) / 2.0);
    cairo_pattern_t* g = cairo_pattern_create_linear(0, 2, 0, h - 2);
    cairo_pattern_add_color_stop_rgb(g, 0, kGreenTop.r, kGreenTop.g, kGreenTop.b);
    cairo_pattern_add_color_stop_rgb(g, 1, kGreenBottom.r, kGreenBottom.g, kGreenBottom.b);
    cairo_set_source(cr, g);
    cairo_fill(cr);
    cairo_pattern_destroy(g);
    roundedRect(cr, 5, 3, std::max(0.0, fill - 6), (h - 4) * 0.38, 3);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.35);
    cairo_fill(cr);
  }
  crHolder.reset();
  savePng("PERCENT_BAR_" + std::to_string(percent), std::move(s));
}

void percentFigure(int percent) {
  caption("PERCENT_" + std::to_string(percent), 53, 13,
          TextSpec{std::to_string(percent) + "%", 13, PANGO_WEIGHT_BOLD, kWhite, true, Align::Right}, 2);
}

// Phase caption with its icon: an arrow while running, a tick when done.
void statusCaption(const std::string& name, int w, const std::string& text, bool down, bool done) {
  const int h = 16;
  Surface s = newSurface(w, h);
  Cairo cr = newCairo(s.get());
  withShadow(cr.get(), w, h, [&](cairo_t* c) {
    set(c, kWhite);
    cairo_arc(c, 8, 8, 7, 0, 2 * M_PI);
    cairo_fill(c);
    set(c, done ? kGreenBottom : kHover);
    if (done)
      check(c, 8, 8, 11);
    else
      arrow(c, 8, 8, 11, down);
  });
  drawText(cr.get(), w, h, TextSpec{text, 14, PANGO_WEIGHT_BOLD, kWhite, true, Align::Left}, 19, 1, w - 20,
           13);
  cr.reset();
  savePng(name, std::move(s));
}

// Result titles: a round arrow badge, then the text; the visible part of the component is 25 high.
void speedTitle(const std::string& name, int w, int h, int visibleW, const std::string& markup, bool down) {
  Surface s = newSurface(w, h);
  Cairo cr = newCairo(s.get());
  withShadow(cr.get(), w, h, [&](cairo_t* c) {
    set(c, kWhite);
    cairo_arc(c, 34, 12, 10, 0, 2 * M_PI);
    cairo_fill(c);
    set(c, kHover);
    arrow(c, 34, 12, 14, down);
  });
  drawText(cr.get(), w, h, TextSpec{markup, 18, PANGO_WEIGHT_BOLD, kWhite, true, Align::Left}, 50, 2,
           visibleW - 52, 20);
  cr.reset();
  savePng(name, std::move(s));
}

void warningCaption(const std::string& name, int w, int h, const std::string& text, bool blocked,
                    double visibleH) {
  Surface s = newSurface(w, h);
  Cairo crHolder = newCairo(s.get());
  cairo_t* cr = crHolder.get();
  const double cy = (visibleH - 2) / 2.0;
  // Measure the text first so that icon and text are centred together.
  TextSpec spec{text, 20, PANGO_WEIGHT_BOLD, kWhite, true, Align::Left};
  const double iconW = 30, gap = 8;
  Placed probe = fitText(cr, spec, 0, 0, w - iconW - gap - 8, visibleH - 4);
  const double total = iconW + gap + probe.ink.width, x0 = std::round((w - total) / 2);
  withShadow(cr, w, h, [&](cairo_t* c) {
    if (blocked) {
      set(c, kWhite);
      cairo_arc(c, x0 + iconW / 2, cy, 13, 0, 2 * M_PI);
      cairo_fill(c);
      set(c, hex(0xD93A12));
      cairo_set_line_width(c, 3.2);
      cairo_set_line_cap(c, CAIRO_LINE_CAP_ROUND);
      cairo_move_to(c, x0 + iconW / 2 - 5.5, cy - 5.5);
      cairo_line_to(c, x0 + iconW / 2 + 5.5, cy + 5.5);
      cairo_move_to(c, x0 + iconW / 2 + 5.5, cy - 5.5);
      cairo_line_to(c, x0 + iconW / 2 - 5.5, cy + 5.5);
      cairo_stroke(c);
    } else {
      set(c, hex(0xFFE066));
      cairo_set_line_join(c, CAIRO_LINE_JOIN_ROUND);
      cairo_set_line_width(c, 3);
      cairo_move_to(c, x0 + iconW / 2, cy - 12);
      cairo_line_to(c, x0 + iconW - 1, cy + 12);
      cairo_line_to(c, x0 + 1, cy + 12);
      cairo_close_path(c);
      cairo_fill_preserve(c);
      cairo_stroke(c);
      set(c, kDeepBrown);
      cairo_rectangle(c, x0 + iconW / 2 - 1.6, cy - 5, 3.2, 10);
      cairo_fill(c);
      cairo_arc(c, x0 + iconW / 2, cy + 8.5, 1.9, 0, 2 * M_PI);
      cairo_fill(c);
    }
  });
  drawText(cr, w, h, spec, x0 + iconW + gap, 1, w - (x0 + iconW + gap), visibleH - 4);
  crHolder.reset();
  savePng(name, std::move(s));
}

void downloadNotice() {
  const int w = 364, h = 127;
  Surface s = newSurface(w, h);
  Cairo crHolder = newCairo(s.get());
  cairo_t* cr = crHolder.get();
  withShadow(
      cr, w, h,
      [&](cairo_t* c) {
        roundedRect(c, 4, 3, w - 8, h - 9, 8);
        set(c, kWhite);
        cairo_fill(c);
      },
      0, 2, 2, hex(0x5A2000, 0.45));
  // Title bar with its three lights and the address field.
  cairo_save(cr);
  roundedRect(cr, 4, 3, w - 8, h - 9, 8);
  cairo_clip(cr);
  cairo_rectangle(cr, 4, 3, w - 8, 26);
  set(cr, hex(0xF3EEE9));
  cairo_fill(cr);
  cairo_restore(cr);
  const unsigned lights[] = {0xF2683C, 0xF5B83D, 0x62C554};
  for (int i = 0; i < 3; ++i) {
    set(cr, hex(lights[i]));
    cairo_arc(cr, 17 + i * 13, 16, 4, 0, 2 * M_PI);
    cairo_fill(cr);
  }
  roundedRect(cr, 58, 8, w - 72, 16, 8);
  set(cr, kWhite);
  cairo_fill_preserve(cr);
  set(cr, hex(0xD8CFC6));
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);
  // Padlock.
  set(cr, hex(0x2E9E44));
  roundedRect(cr, 66, 15, 8, 6, 1.2);
  cairo_fill(cr);
  cairo_set_line_width(cr, 1.5);
  cairo_arc(cr, 70, 15, 2.6, M_PI, 2 * M_PI);
  cairo_stroke(cr);
  drawText(cr, w, h,
           TextSpec{"<span foreground='#2E9E44'>Zelvo 官方網站</span>  <span foreground='#8A8178' "
                    "weight='normal'>下載專區</span>",
                    11, PANGO_WEIGHT_BOLD, kInk, false, Align::Left},
           80, 9, w - 100, 14);
  // Shield with a tick, and the advice.
  const double sx = 44, sy = 76;
  cairo_move_to(cr, sx, sy - 27);
  cairo_curve_to(cr, sx + 12, sy - 20, sx + 22, sy - 20, sx + 22, sy - 20);
  cairo_curve_to(cr, sx + 22, sy + 4, sx + 14, sy + 16, sx, sy + 24);
  cairo_curve_to(cr, sx - 14, sy + 16, sx - 22, sy + 4, sx - 22, sy - 20);
  cairo_curve_to(cr, sx - 22, sy - 20, sx - 12, sy - 20, sx, sy - 27);
  cairo_close_path(cr);
  set(cr, hex(0x3BB54F));
  cairo_fill(cr);
  set(cr, kWhite);
  check(cr, sx, sy - 2, 26);
  drawText(cr, w, h, TextSpec{"請確認開啟的下載網頁", 17, PANGO_WEIGHT_BOLD, kInk, false, Align::Left}, 80,
           40, w - 96, 24);
  drawText(cr, w, h,
           TextSpec{"屬於 <span foreground='#F26A0F'>Zelvo 官方網站</span>，再下載程式", 15,
                    PANGO_WEIGHT_BOLD, hex(0x6A5646), false, Align::Left},
           80, 70, w - 96, 22);
  drawText(
      cr, w, h,
      TextSpec{"網址列顯示安全鎖頭與 Zelvo 名稱", 12, PANGO_WEIGHT_NORMAL, hex(0x8A8178), false, Align::Left},
      80, 96, w - 96, 16);
  crHolder.reset();
  savePng("DOWNLOAD", std::move(s));
}

void productLogo(cairo_t* cr, int w, int h, double x, double y, double mark, double big, double small) {
  withShadow(
      cr, w, h, [&](cairo_t* c) { gaugeMark(c, x, y, mark, kWhite, kHover); }, 0, 1, 1);
  drawText(cr, w, h, TextSpec{"寬頻測速", big, PANGO_WEIGHT_BOLD, kWhite, true, Align::Left},
           x + mark + mark * 0.18, y - mark * 0.04, w, mark * 0.60);
  drawText(cr, w, h,
           TextSpec{"Zelvo <span weight='normal'>SpeedTest</span>", small, PANGO_WEIGHT_BOLD,
                    hex(0xFFFFFF, 0.92), true, Align::Left},
           x + mark + mark * 0.20, y + mark * 0.62, w, mark * 0.34);
}

void appLogo() {
  Surface s = newSurface(176, 50);
  Cairo cr = newCairo(s.get());
  productLogo(cr.get(), 176, 50, 8, 6, 38, 24, 12);
  cr.reset();
  savePng("APPLOGO", std::move(s));
}

void operatorLogo() {
  const int w = 156, h = 31;
  Surface s = newSurface(w, h);
  Cairo cr = newCairo(s.get());
  withShadow(cr.get(), w, h, [](cairo_t* c) { operatorMark(c, 3, 3, 24, kWhite, kHover); });
  drawText(cr.get(), w, h, TextSpec{"Zelvo", 22, PANGO_WEIGHT_BOLD, kWhite, true, Align::Left}, 33, 5, 70,
           19);
  set(cr.get(), hex(0xFFFFFF, 0.55));
  cairo_rectangle(cr.get(), 100, 7, 1, 17);
  cairo_fill(cr.get());
  drawText(cr.get(), w, h, TextSpec{"寬頻網路", 12, PANGO_WEIGHT_BOLD, kWhite, true, Align::Left}, 106, 8, 48,
           15);
  cr.reset();
  savePng("QRT", std::move(s));
}

void aboutBackground() {
  Surface s = newSurface(520, 420, true);
  Cairo crHolder = newCairo(s.get());
  cairo_t* cr = crHolder.get();
  background(cr);
  productLogo(cr, 520, 420, 118, 48, 84, 52, 22);
  set(cr, hex(0xFFFFFF, 0.45));
  cairo_rectangle(cr, 110, 158, 300, 1);
  cairo_fill(cr);
  drawText(cr, 520, 420, TextSpec{"Zelvo 寬頻測速程式", 17, PANGO_WEIGHT_BOLD, kWhite, true}, 60, 170, 400,
           22);
  drawText(cr, 520, 420,
           TextSpec{"© 2026 Zelvo. 版權所有，保留一切權利。", 14, PANGO_WEIGHT_NORMAL, kWhite, true}, 60, 198,
           400, 20);
  drawText(cr, 520, 420,
           TextSpec{"© 2026 Zelvo. All rights reserved.", 13, PANGO_WEIGHT_NORMAL, hex(0xFFFFFF, 0.9), true},
           60, 220, 400, 18);
  // The invitation to the service's speed-test web site, on a light panel.
  roundedRect(cr, 70, 292, 380, 52, 12);
  cairo_set_source_rgba(cr, 1, 1, 1, 0.22);
  cairo_fill_preserve(cr);
  cairo_set_source_rgba(cr, 1, 1, 1, 0.45);
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);
  drawText(cr, 520, 420, TextSpec{"歡迎到 Zelvo 寬頻測速網站", 16, PANGO_WEIGHT_BOLD, kWhite, true}, 80, 298,
           360, 21);
  drawText(cr, 520, 420, TextSpec{"隨時線上測速，掌握您的連線品質", 13, PANGO_WEIGHT_NORMAL, kWhite, true},
           80, 321, 360, 18);
  crHolder.reset();
  savePng("BACKGROUND_CR", std::move(s));
}

void resultBackground() {
  Surface s = newSurface(520, 420, true);
  Cairo crHolder = newCairo(s.get());
  cairo_t* cr = crHolder.get();
  background(cr);
  // Faint words behind the two speed rows, to the right of the units.
  auto word = [&](const char* text, double y) {
    Layout layout = makeLayout(cr, std::string("<i>") + text + "</i>", 50, PANGO_WEIGHT_HEAVY);
    const PangoRectangle ink = inkOf(layout.get());
    cairo_move_to(cr, 508 - ink.width - ink.x, y - ink.y);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.13);
    pango_cairo_show_layout(cr, layout.get());
  };
  word("Downlink", 92);
  word("Uplink", 196);
  crHolder.reset();
  savePng("BACKGROUND_OVER", std::move(s));
}

void plainBackground() {
  Surface s = newSurface(520, 420, true);
  {
    Cairo cr = newCairo(s.get());
    background(cr.get());
  }
  saveJpeg("BACKGROUND", std::move(s));
}

// Six dots round a circle; the bright one walks on, the others fade behind it.
void loadingAnimation() {
  std::vector<Surface> frames;
  for (int f = 0; f < 6; ++f) {
    Surface s = newSurface(57, 53);
    Cairo cr = newCairo(s.get());
    for (int i = 0; i < 6; ++i) {
      const double a = -M_PI / 2 + i * M_PI / 3;
      const int age = (f - i + 6) % 6;
      cairo_set_source_rgba(cr.get(), 1, 1, 1, std::max(0.28, 1.0 - age * 0.16));
      cairo_arc(cr.get(), 28.5 + std::cos(a) * 17, 26.5 + std::sin(a) * 17, age == 0 ? 5.6 : 4.6 - age * 0.25,
                0, 2 * M_PI);
      cairo_fill(cr.get());
    }
    cr.reset();
    frames.push_back(std::move(s));
  }
  saveGif("LOADING", std::move(frames), 12, matteUnder(101, 172, 57, 53));
}

// A ring with a bright comet running round it, about a turn per second, around the gauge mark.
void rotationAnimation() {
  const int n = 17;
  std::vector<Surface> frames;
  for (int f = 0; f < n; ++f) {
    Surface s = newSurface(100, 99);
    Cairo crHolder = newCairo(s.get());
    cairo_t* cr = crHolder.get();
    const double cx = 50, cy = 49.5, r = 42;
    cairo_set_line_width(cr, 7);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.25);
    cairo_arc(cr, cx, cy, r, 0, 2 * M_PI);
    cairo_stroke(cr);
    const double head = -M_PI / 2 + f * 2 * M_PI / n;
    const int steps = 40;
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    for (int i = 0; i < steps; ++i) {
      const double a0 = head - 1.9 * (i + 1) / steps, a1 = head - 1.9 * i / steps;
      cairo_set_source_rgba(cr, 1, 1, 1, std::pow(1.0 - static_cast<double>(i) / steps, 1.6));
      cairo_arc(cr, cx, cy, r, a0, a1 + 0.02);
      cairo_stroke(cr);
    }
    cairo_set_source_rgba(cr, 1, 1, 1, 1);
    cairo_arc(cr, cx + std::cos(head) * r, cy + std::sin(head) * r, 5.5, 0, 2 * M_PI);
    cairo_fill(cr);
    // The gauge in the middle, its needle swinging with the comet.
    cairo_set_source_rgba(cr, 1, 1, 1, 0.95);
    cairo_set_line_width(cr, 4.5);
    cairo_arc(cr, cx, cy + 4, 21, M_PI * 0.85, M_PI * 2.15);
    cairo_stroke(cr);
    const double swing = M_PI * (1.05 + 0.9 * (0.5 - 0.5 * std::cos(f * 2 * M_PI / n)));
    cairo_set_line_width(cr, 4);
    cairo_move_to(cr, cx, cy + 4);
    cairo_line_to(cr, cx + std::cos(swing) * 17, cy + 4 + std::sin(swing) * 17);
    cairo_stroke(cr);
    cairo_arc(cr, cx, cy + 4, 4.5, 0, 2 * M_PI);
    cairo_fill(cr);
    crHolder.reset();
    frames.push_back(std::move(s));
  }
  saveGif("ROTATION", std::move(frames), 6, matteUnder(213, 180, 100, 99));
}

void drawAll() {
  plainBackground();
  resultBackground();
  aboutBackground();
  loadingAnimation();
  rotationAnimation();

  const TextSpec big{"", 21, PANGO_WEIGHT_BOLD, kWhite, true, Align::Centre};
  auto with = [](TextSpec spec, const std::string& text, Align align = Align::Centre, double px = 0) {
    spec.markup = text;
    spec.align = align;
    if (px > 0) spec.px = px;
    return spec;
  };
  caption("CONNECTING", 262, 39, with(big, "測速伺服器連線中…", Align::Left, 20), 10);
  // Shown at left 152, these centre on the animation below them (x 263), not on their own middle.
  caption("LOAD", 235, 40, with(big, "組態載入中,請稍候!", Align::Centre, 20), 2, 0, 218);
  caption("ANALYSIS", 235, 40, with(big, "資料分析中,請稍候!", Align::Centre, 20), 2, 0, 218);
  // The testing caption's component shows only its top 41 rows.
  caption("TESTING", 194, 50, with(big, "連線速率測試中", Align::Centre, 25), 4, 41);

  statusCaption("TEXT_DOWNLINK", 168, "正在測試下行速率…", true, false);
  statusCaption("TEXT_DOWNLINK_END", 112, "下行測速完成", true, true);
  statusCaption("TEXT_UPLINK", 168, "正在測試上行速率…", false, false);
  statusCaption("TEXT_UPLINK_END", 112, "上行測速完成", false, true);

  for (int p = 0; p <= 100; p += 10) {
    progressBar(p);
    percentFigure(p);
  }
  for (int d = 0; d <= 9; ++d)
    digit(d);
  point();
  unit("GBPS", "Gbps");
  unit("MBPS", "Mbps");
  unit("KBPS", "Kbps");

  // The uplink title's component is 200 x 25, narrower than its picture: keep both titles within it.
  speedTitle("DOWNLINK", 234, 28, 232, titleMarkup("下行速率", "Downlink Speed", true), true);
  speedTitle("UPLINK", 220, 28, 200, titleMarkup("上行速率", "Uplink Speed", true), false);
  title("TEST_END", 227, 27, titleMarkup("測試完成", "Test Completed", true));
  title("ANNOUNCEMENT", 306, 22, titleMarkup("Software Terms of Use", "軟體使用條款", false));
  title("TEXT_BULLETIN", 207, 22, titleMarkup("Announcement", "系統公告", false));
  title("SETUPDOC", 421, 24, titleMarkup("Environment Setting Instructions", "測試環境設定說明", false));

  {
    // Two lines beside the serial and time labels (their text centres lie 11 and 26 rows down).
    Surface s = newSurface(53, 34);
    Cairo cr = newCairo(s.get());
    const TextSpec line{"", 12, PANGO_WEIGHT_BOLD, kDeepBrown, false, Align::Left};
    drawText(cr.get(), 53, 34, with(line, "測試序號", Align::Left), 1, 4, 51, 14);
    drawText(cr.get(), 53, 34, with(line, "測試時間", Align::Left), 1, 19, 51, 14);
    cr.reset();
    savePng("SERIAL", std::move(s));
  }
  caption("OPENCR", 100, 12,
          TextSpec{"開啟軟體版權聲明", 11.5, PANGO_WEIGHT_BOLD, kWhite, true, Align::Right}, 1);

  warningCaption("ALARMVER", 428, 54, "測速程式非最新版本，下載最新程式?", false, 49);
  warningCaption("UNUSE", 470, 40, "測速程式版本已無法使用, 下載最新程式?", true, 40);
  downloadNotice();
  appLogo();
  operatorLogo();

  buttonFamily("BUTTON_C", 91, 42, "取消(C)");
  buttonFamily("BUTTON_D", 109, 42, "前往下載(D)");
  buttonFamily("BUTTON_N", 109, 42, "繼續測速(N)");
  buttonFamily("BUTTON_P", 98, 42, "上一步(P)");
  buttonFamily("BUTTON_Q", 91, 42, "結束(Q)");
  buttonFamily("BUTTON_R", 200, 32, "開啟測試報告(R)", true);
  buttonFamily("BUTTON_RT", 109, 42, "重新測試(T)");
  buttonFamily("BUTTON_T", 109, 42, "設定說明(T)");
  buttonFamily("BUTTON_Y", 91, 42, "同意(A)");
}

// ---- page previews ----------------------------------------------------------------------------------
// Background plus pictures at their component places, clipped to the component as the window does
// for components without auto size.

struct Placement {
  std::string name;
  double left, top;
  double width = 0, height = 0; // 0: auto size
  int frame = 0;
};

void composePage(const std::string& path, const std::string& backgroundName,
                 const std::vector<Placement>& items, const std::function<void(cairo_t*)>& extra = {}) {
  Surface page = newSurface(520, 420, true);
  Cairo crHolder = newCairo(page.get());
  cairo_t* cr = crHolder.get();
  cairo_set_source_surface(cr, drawnPictures.at(backgroundName).surface.get(), 0, 0);
  cairo_paint(cr);
  if (extra) extra(cr);
  for (const auto& item : items) {
    const Drawn& drawn = drawnPictures.at(item.name);
    cairo_surface_t* s = drawn.frames.empty() ? drawn.surface.get() : drawn.frames.at(item.frame).get();
    cairo_save(cr);
    if (item.width > 0) {
      cairo_rectangle(cr, item.left, item.top, item.width, item.height);
      cairo_clip(cr);
    }
    cairo_set_source_surface(cr, s, item.left, item.top);
    cairo_paint(cr);
    cairo_restore(cr);
  }
  crHolder.reset();
  if (cairo_surface_write_to_png(page.get(), path.c_str()) != CAIRO_STATUS_SUCCESS)
    fail("cannot write " + path);
}

void label(cairo_t* cr, const std::string& text, double x, double y) {
  Layout layout = makeLayout(cr, text, 12, PANGO_WEIGHT_BOLD, "Liberation Sans");
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_move_to(cr, x, y);
  pango_cairo_show_layout(cr, layout.get());
}

// A result page: its fixed parts, each speed's figures and unit below the speed's title, then the
// serial number and time its labels show.
void resultPage(const std::string& path, const std::vector<Placement>& down, const std::vector<Placement>& up,
                const std::string& serial, const std::string& time) {
  std::vector<Placement> items = {
      {"QRT", 10, 375},       {"TEST_END", 20, 16, 227, 33}, {"BUTTON_RT", 310, 375},
      {"BUTTON_Q", 420, 375}, {"APPLOGO", 330, 0, 180, 50},  {"DOWNLINK", 0, 56, 257, 25}};
  items.insert(items.end(), down.begin(), down.end());
  items.push_back({"UPLINK", 0, 160, 200, 25});
  items.insert(items.end(), up.begin(), up.end());
  items.push_back({"BUTTON_R", 94, 280, 201, 33});
  items.push_back({"SERIAL", 94, 320, 105, 33});
  composePage(path, "BACKGROUND_OVER", items, [&](cairo_t* cr) {
    label(cr, serial, 150, 323);
    label(cr, time, 150, 338);
  });
}

// One speed's pictures as the result page places them: the digits of `shown` around the point at 164,
// the unit at 260.
std::vector<Placement> speedRow(const std::string& shown, const std::string& unit, double digitTop,
                                double unitTop) {
  const std::size_t point = shown.find('.');
  std::vector<Placement> row;
  for (std::size_t i = 0; i < point; ++i)
    row.push_back({std::string("DIGIT_") + shown[i], 129 - 35.0 * static_cast<double>(point - 1 - i),
                   digitTop, 34, 55});
  row.push_back({"POINT", 164, digitTop + 40, 17, 14});
  for (std::size_t i = point + 1; i < shown.size(); ++i)
    row.push_back({std::string("DIGIT_") + shown[i], 179 + 35.0 * static_cast<double>(i - point - 1),
                   digitTop, 34, 55});
  row.push_back({unit, 260, unitTop, 75, 31});
  return row;
}

void composePreviews(const std::string& dir) {
  const double kDigitTop = 88, kUpTop = 192;
  composePage(dir + "/connecting.png", "BACKGROUND",
              {{"QRT", 10, 375}, {"CONNECTING", 152, 180, 284, 41}, {"LOADING", 101, 172, 57, 57, 2}});
  composePage(dir + "/terms.png", "BACKGROUND",
              {{"QRT", 10, 375},
               {"BUTTON_T", 190, 375},
               {"BUTTON_Y_OVER", 310, 375},
               {"BUTTON_C", 420, 375},
               {"OPENCR", 400, 350},
               {"ANNOUNCEMENT", 194, 16, 306, 33},
               {"APPLOGO", 0, 0, 180, 50}},
              [](cairo_t* cr) {
                // The memo is a real text view; a white box stands in for it here.
                cairo_rectangle(cr, 17, 56, 490, 280);
                cairo_set_source_rgb(cr, 1, 1, 1);
                cairo_fill_preserve(cr);
                cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
                cairo_set_line_width(cr, 1);
                cairo_stroke(cr);
                Layout text =
                    makeLayout(cr,
                               "Zelvo 寬頻測速軟體使用條款\n\n一、本軟體僅供 Zelvo 用戶測試連線速率使用。\n"
                               "二、測試結果會傳送至 Zelvo 測速網站，以供查詢。\n"
                               "三、請於測試前關閉其他使用網路的程式。",
                               15, PANGO_WEIGHT_NORMAL);
                cairo_set_source_rgb(cr, 0, 0, 0);
                cairo_move_to(cr, 22, 60);
                pango_cairo_show_layout(cr, text.get());
              });
  composePage(dir + "/testing.png", "BACKGROUND",
              {{"QRT", 10, 375},
               {"TESTING", 165, 112, 241, 41},
               {"ROTATION", 213, 180, 105, 105, 5},
               {"BUTTON_Q", 420, 375},
               {"TEXT_DOWNLINK", 15, 320, 193, 25},
               {"PERCENT_BAR_60", 15, 340, 482, 33},
               {"PERCENT_60", 440, 320, 65, 32}});
  // 85.43 Mbps down, 9.07 Mbps up, as the digit rule shows them (leading zeros hidden).
  resultPage(dir + "/result.png", speedRow("85.43", "MBPS", kDigitTop, 118),
             speedRow("9.07", "MBPS", kUpTop, 224), "Z2026120800417", "2026/12/08 02:41:17");
  // A ten-gigabit line: 10.28 Gbps down, 9871.50 Mbps up (the thousands place in use).
  resultPage(dir + "/result-gbps.png", speedRow("10.28", "GBPS", kDigitTop, 118),
             speedRow("9871.50", "MBPS", kUpTop, 224), "Z2026120900023", "2026/12/09 18:20:05");
  composePage(dir + "/analysis.png", "BACKGROUND",
              {{"QRT", 10, 375},
               {"ANALYSIS", 152, 112, 241, 41},
               {"ROTATION", 213, 180, 105, 105, 11},
               {"BUTTON_Q_OVER", 420, 375}});
  composePage(dir + "/version-blocked.png", "BACKGROUND",
              {{"QRT", 10, 375},
               {"UNUSE", 0, 56, 520, 49},
               {"DOWNLOAD", 56, 136},
               {"BUTTON_D", 310, 375},
               {"BUTTON_C", 420, 375}});
  composePage(dir + "/about.png", "BACKGROUND_CR", {{"QRT", 10, 375}, {"BUTTON_P_OVER", 420, 375}});
  composePage(dir + "/version-outdated.png", "BACKGROUND",
              {{"QRT", 10, 375},
               {"ALARMVER", 0, 56, 520, 49},
               {"DOWNLOAD", 56, 136},
               {"BUTTON_N", 190, 375},
               {"BUTTON_D", 310, 375},
               {"BUTTON_C", 420, 375}});
}

// The application icon for the desktop's menu: the product's gauge on the window's orange, in a
// rounded square, drawn afresh at each size so that small sizes stay sharp.
void appIcon(const std::string& dir, const std::string& name, int size) {
  Surface s = newSurface(size, size);
  Cairo cr = newCairo(s.get());
  const double inset = size >= 32 ? size * 0.06 : 0.5;
  const double side = size - 2 * inset;
  cairo_pattern_t* g = cairo_pattern_create_linear(0, inset, 0, inset + side);
  cairo_pattern_add_color_stop_rgb(g, 0.0, 1.00, 0.64, 0.24);
  cairo_pattern_add_color_stop_rgb(g, 0.55, 0.97, 0.50, 0.11);
  cairo_pattern_add_color_stop_rgb(g, 1.0, 0.93, 0.41, 0.07);
  roundedRect(cr.get(), inset, inset, side, side, side * 0.22);
  cairo_set_source(cr.get(), g);
  cairo_fill_preserve(cr.get());
  cairo_pattern_destroy(g);
  if (size >= 32) {
    set(cr.get(), hex(0x7A2E00, 0.35));
    cairo_set_line_width(cr.get(), std::max(1.0, size / 64.0));
    cairo_stroke(cr.get());
  } else {
    cairo_new_path(cr.get());
  }
  const double mark = side * (size >= 32 ? 0.74 : 0.84);
  const double at = inset + (side - mark) / 2;
  if (size >= 48)
    withShadow(
        cr.get(), size, size, [&](cairo_t* c) { gaugeMark(c, at, at, mark, kWhite, kHover); }, 0, size / 96.0,
        std::max(1, size / 64));
  else
    gaugeMark(cr.get(), at, at, mark, kWhite, kHover);
  cr.reset();
  const std::string folder = dir + "/" + std::to_string(size) + "x" + std::to_string(size) + "/apps";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) fail("cannot create " + folder);
  writePng(folder + "/" + name + ".png", s.get());
}
} // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--icons") == 0) {
    for (int size : {16, 24, 32, 48, 64, 128, 256})
      appIcon(argv[2], argv[3], size);
    std::printf("drew the icon %s into %s\n", argv[3], argv[2]);
    return 0;
  }
  if (argc != 3) fail("usage: zelvo-artwork RESOURCES_DIR PREVIEW_DIR | --icons DIR NAME");
  outDir = argv[1];
  drawAll();
  composePreviews(argv[2]);
  std::printf("drew %zu pictures into %s\n", drawnPictures.size(), outDir.c_str());
  return 0;
}
