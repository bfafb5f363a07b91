#pragma once
// Loading a picture of the program's resources into an image component.
//
// Pictures are decoded on every call; there is no cache. Nothing is thrown: the result says what
// happened, and on any failure the component keeps the picture it had. The functions keep no
// state of their own, so any thread may call them (the window calls them on its own thread).

#include "ui/picture.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zelvo {

enum class LoadStatus {
  Loaded,
  UnknownType,      // the type was none of "JPEG", "GIF", "PNG": nothing loaded, not an error
  ResourceNotFound, // no resource of that name and type
  DecodeFailed,     // the decoder rejected the data
};

struct LoadResult {
  LoadStatus status = LoadStatus::Loaded;
  // The text of the error the window shows in its error box; empty when nothing failed.
  std::string message;

  bool loaded() const { return status == LoadStatus::Loaded; }
  // True for the two failures that the window reports to the user.
  bool failed() const { return status == LoadStatus::ResourceNotFound || status == LoadStatus::DecodeFailed; }
};

// Loads the resource `name` of type `type` ("JPEG", "GIF" or "PNG", compared exactly) and makes it
// the picture of `image`; with auto size the component takes the picture's size.
LoadResult vLoadImage(ImageComponent& image, std::string_view name, std::string_view type);
LoadResult vLoadImage(Picture& picture, std::string_view name, std::string_view type);

// The decoding step alone, on bytes from anywhere (tests, tools). `type` as above.
LoadResult decodePicture(std::span<const std::uint8_t> data, std::string_view type, Picture& picture);

// Pictures with more pixels than this (per frame, or over all frames of an animation) are refused
// before anything is allocated: a damaged header must not make the program allocate gigabytes.
inline constexpr std::uint64_t kMaxPicturePixels = 16u * 1024 * 1024;

} // namespace zelvo
