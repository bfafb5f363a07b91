#include "ui/version.h"

#include "zelvo_version.h"

namespace zelvo {

std::optional<FileVersionInfo> ExecutableFileVersion() {
  return FileVersionInfo{ZELVO_VERSION_MAJOR, ZELVO_VERSION_MINOR, ZELVO_VERSION_RELEASE, 0};
}

std::string FileVersionText(const std::optional<FileVersionInfo>& version) {
  if (!version) return {};
  return std::to_string(version->major) + "." + std::to_string(version->minor) + "." +
         std::to_string(version->release);
}

} // namespace zelvo
