#pragma once
// The optional one-line settings file: "AutoTest Y" (or "y") switches unattended mode on.

#include <string>

namespace zelvo {

// Unattended mode from the first line of the text (at most 99 characters of it count).
bool ParseAutoTestLine(const std::string& text);
// Reads the file; a missing or unreadable file means attended mode.
bool ReadAutoTestSetting(const std::string& path);
// The built-in settings-file name, decoded.
std::string BuiltInSettingsFile();

} // namespace zelvo
