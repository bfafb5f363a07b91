#include "ui/resources.h"

#include <algorithm>
#include <tuple>

namespace zelvo {

std::optional<std::span<const std::uint8_t>> findResource(std::string_view name, std::string_view type,
                                                          std::uint16_t language) {
  const auto table = embeddedResources();
  const auto key = std::make_tuple(type, name);
  const auto it = std::lower_bound(table.begin(), table.end(), key, [](const Resource& r, const auto& k) {
    return std::make_tuple(std::string_view(r.type), std::string_view(r.name)) < k;
  });
  for (auto at = it; at != table.end() && at->type == type && at->name == name; ++at)
    if (at->language == language) return std::span<const std::uint8_t>(at->data, at->size);
  return std::nullopt;
}

} // namespace zelvo
