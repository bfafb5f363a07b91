#include "ui/version.h"

namespace zelvo {

std::string FileVersionText(const std::optional<FileVersionInfo>& version) {
  if (!version) return {};
  return std::to_string(version->major) + "." + std::to_string(version->minor) + "." +
         std::to_string(version->release);
}

} // namespace zelvo
