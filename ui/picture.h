#pragma once
// A decoded picture, independent of any toolkit: what an image component holds and the view draws.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelvo {

// One full-size frame: width * height pixels, 4 bytes each (R, G, B, A), rows top to bottom,
// alpha not premultiplied. An animation's frames are already composed (disposal applied).
struct PictureFrame {
  std::vector<std::uint8_t> rgba;
  int delayMs = 0; // how long the frame stays before the next; 0 for a still picture
};

struct Picture {
  int width = 0;
  int height = 0;
  // The source has an alpha channel or a transparent colour, so it is drawn blended; otherwise it
  // covers its rectangle.
  bool hasAlpha = false;
  // Times an animation plays; 0 means it loops for ever. Stills have 1.
  int loopCount = 1;
  std::vector<PictureFrame> frames;

  bool empty() const { return frames.empty(); }
  bool animated() const { return frames.size() > 1; }
  // Pixel of a frame, for tests and the headless renderer; x, y and the frame must be in range.
  const std::uint8_t* pixel(int x, int y, std::size_t frame = 0) const {
    return frames[frame].rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4;
  }
};

// The part of an image component that loading a picture changes. The window's component record
// holds one; components with auto size take the size of every picture loaded into them.
struct ImageComponent {
  Picture picture;
  bool autoSize = false;
  int width = 0;
  int height = 0;
};

} // namespace zelvo
