#pragma once
// The user's own state folder and a file of lines that several copies of the program append to at once:
// each line goes in whole under an exclusive lock, or not at all; a reader takes a shared lock, so it
// never sees a line that is still being written or is about to be taken back.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace zelvo::platform {

// The folder the program keeps the user's state in, not yet created. Linux: $XDG_STATE_HOME/<linuxName>
// (an absolute XDG_STATE_HOME only), else ~/.local/state/<linuxName>. Windows: <Local AppData>\<windowsName>.
// Null when neither the system nor the environment names a home.
std::optional<std::filesystem::path> UserStateFolder(const std::string& linuxName,
                                                     const std::string& windowsName);

// Creates the folder and any missing parent, each readable by the user only (0700 on Linux; on Windows
// the folder inherits the user's profile's permissions). False with error (UTF-8) when it cannot.
bool MakePrivateFolder(const std::filesystem::path& folder, std::string& error);

struct AppendOutcome {
  bool ok = false;
  std::string error; // why not (UTF-8), when not ok
};

// Appends line (which ends with a newline) with one write under an exclusive lock, creating the file
// (readable by the user only) when missing. A file whose last line was cut short gets a newline first,
// so the new line stays whole. A failed or short write takes the file back to its old size.
AppendOutcome AppendWholeLine(const std::filesystem::path& file, const std::string& line);

struct ReadOutcome {
  enum Status { Read, Missing, Failed } status = Failed;
  std::string content;
  std::string error; // why not (UTF-8), when Failed
};

// The outcome of an append whose write failed: its error, then takeBack's, the platform's truncate to
// the old size, which returns its own error when the file keeps part of the line.
AppendOutcome FailedAppend(const std::string& writeError,
                           const std::function<std::optional<std::string>()>& takeBack);

// The whole file, read under a shared lock.
ReadOutcome ReadLockedFile(const std::filesystem::path& file);

// A path as UTF-8, to show the user.
std::string PathText(const std::filesystem::path& path);

} // namespace zelvo::platform
