#pragma once
// The executable's version as the kernel's version resource would give it, and its text for the about
// page. The numbers come from the build's one definition of the program's version.

#include <optional>
#include <string>

namespace zelvo {

struct FileVersionInfo {
  unsigned major = 0, minor = 0, release = 0, build = 0;
};

// This executable's file version.
std::optional<FileVersionInfo> ExecutableFileVersion();
// Major, minor and release joined by full stops; empty when there is no version.
std::string FileVersionText(const std::optional<FileVersionInfo>& version = ExecutableFileVersion());

inline constexpr const char* kReleaseDateText = "2012-04-03";

} // namespace zelvo
