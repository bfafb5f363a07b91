#pragma once
// The executable's version text for the about page.

#include "platform/kernel.h"

#include <optional>
#include <string>

namespace zelvo {

using platform::ExecutableFileVersion;
using platform::FileVersionInfo;
// Major, minor and release joined by full stops; empty when there is no version.
std::string FileVersionText(const std::optional<FileVersionInfo>& version = ExecutableFileVersion());

inline constexpr const char* kReleaseDateText = "2012-04-03";

} // namespace zelvo
