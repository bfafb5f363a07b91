#pragma once
// The three picture decoders behind vLoadImage. Each returns false with the decoder's own error
// text on bad data and leaves `picture` untouched; every handle is released before it returns.

#include "ui/picture.h"

#include <cstdint>
#include <span>
#include <string>

namespace zelvo {

bool decodePng(std::span<const std::uint8_t> data, Picture& picture, std::string& error);
bool decodeGif(std::span<const std::uint8_t> data, Picture& picture, std::string& error);
bool decodeJpeg(std::span<const std::uint8_t> data, Picture& picture, std::string& error);

} // namespace zelvo
