#pragma once
// Composes the form's visible image components into one RGBA picture, as the window draws them, and
// writes it as a PNG. Used by tests and tools that need to see a page without a display.
//
// Only image components are drawn; the labels, the memo and the web panels are real widgets of the
// view and have no pixels here. Any thread may call these functions on a model it does not share.

#include "ui/mainform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelvo {

struct RgbaImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba; // width * height * 4, rows top to bottom

  const std::uint8_t* pixel(int x, int y) const {
    return rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4;
  }
};

// The client area (520 x 420) on the form's white ground, each visible image component drawn in the
// form's order at its place, clipped to its size; pictures with alpha are blended over what lies
// beneath, the others cover their rectangle. Animations show frame `frame` modulo their frame count.
RgbaImage renderForm(const FormModel& form, std::size_t frame = 0);

// Draws one picture frame at (left, top), clipped to width x height and to the target.
void drawPicture(RgbaImage& target, const Picture& picture, std::size_t frame, int left, int top, int width,
                 int height);

// Writes an 8-bit RGBA PNG; false (and no file left behind) when it cannot.
bool writePng(const std::string& path, const RgbaImage& image);

} // namespace zelvo
