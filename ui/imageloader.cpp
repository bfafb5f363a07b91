#include "ui/imageloader.h"

#include "ui/decoders.h"
#include "ui/resources.h"

#include <new>

namespace zelvo {

namespace {

// A read stream over a resource's bytes, as the decoders take it. It owns nothing, so releasing it
// on every path is automatic.
class ResourceStream {
public:
  static std::optional<ResourceStream> open(std::string_view name, std::string_view type) {
    const auto bytes = findResource(name, type);
    if (!bytes) return std::nullopt;
    return ResourceStream(*bytes);
  }
  std::span<const std::uint8_t> bytes() const { return bytes_; }

private:
  explicit ResourceStream(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::span<const std::uint8_t> bytes_;
};

enum class Kind { Jpeg, Gif, Png, None };

Kind kindOf(std::string_view type) {
  if (type == "JPEG") return Kind::Jpeg;
  if (type == "GIF") return Kind::Gif;
  if (type == "PNG") return Kind::Png;
  return Kind::None;
}

LoadResult decodeKind(Kind kind, std::span<const std::uint8_t> data, Picture& picture) {
  Picture decoded;
  std::string error;
  bool ok = false;
  try {
    switch (kind) {
    case Kind::Jpeg:
      ok = decodeJpeg(data, decoded, error);
      break;
    case Kind::Gif:
      ok = decodeGif(data, decoded, error);
      break;
    case Kind::Png:
      ok = decodePng(data, decoded, error);
      break;
    case Kind::None:
      return {LoadStatus::UnknownType, {}};
    }
  } catch (const std::bad_alloc&) {
    ok = false;
    error = "Out of memory";
  }
  if (!ok) return {LoadStatus::DecodeFailed, error.empty() ? std::string("Invalid picture data") : error};
  picture = std::move(decoded);
  return {};
}

} // namespace

LoadResult decodePicture(std::span<const std::uint8_t> data, std::string_view type, Picture& picture) {
  return decodeKind(kindOf(type), data, picture);
}

LoadResult vLoadImage(Picture& picture, std::string_view name, std::string_view type) {
  const Kind kind = kindOf(type);
  if (kind == Kind::None) return {LoadStatus::UnknownType, {}};
  const auto stream = ResourceStream::open(name, type);
  if (!stream) return {LoadStatus::ResourceNotFound, "Resource " + std::string(name) + " not found"};
  return decodeKind(kind, stream->bytes(), picture);
}

LoadResult vLoadImage(ImageComponent& image, std::string_view name, std::string_view type) {
  LoadResult result = vLoadImage(image.picture, name, type);
  if (result.loaded() && image.autoSize) {
    image.width = image.picture.width;
    image.height = image.picture.height;
  }
  return result;
}

} // namespace zelvo
