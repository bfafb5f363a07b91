#pragma once
// The pictures built into the program as named resources: type name ("PNG", "JPEG", "GIF"), name in
// capitals and language. The table is generated at build time from every file of ui/resources/.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace zelvo {

// Chinese (Taiwan): the language every picture of the program is stored under.
inline constexpr std::uint16_t kResourceLanguage = 1028;

struct Resource {
  const char* type;
  const char* name;
  std::uint16_t language;
  const std::uint8_t* data;
  std::size_t size;
};

// Every embedded resource, sorted by type, then name.
std::span<const Resource> embeddedResources();

// The bytes of the resource with exactly this type and name (both compared as they are), or nothing.
std::optional<std::span<const std::uint8_t>> findResource(std::string_view name, std::string_view type,
                                                          std::uint16_t language = kResourceLanguage);

} // namespace zelvo
