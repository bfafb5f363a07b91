#include "platform/statefile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zelvo::platform {

namespace {

std::string systemError(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

// Closes the descriptor, and with it the lock, on every way out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

bool lock(int fd, int operation) {
  while (flock(fd, operation) != 0)
    if (errno != EINTR) return false;
  return true;
}

} // namespace

std::optional<std::filesystem::path> UserStateFolder(const std::string& linuxName, const std::string&) {
  // A relative XDG_STATE_HOME is to be ignored.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::filesystem::path(state) / linuxName;
  std::string home;
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
    home = h;
  } else {
    std::vector<char> buffer(16384);
    passwd entry{}, *found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
      home = found->pw_dir;
  }
  if (home.empty()) return std::nullopt;
  return std::filesystem::path(home) / ".local" / "state" / linuxName;
}

bool MakePrivateFolder(const std::filesystem::path& folder, std::string& error) {
  // The missing part of the path, outermost first.
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path p = folder; !p.empty(); p = p.parent_path()) {
    struct stat st {};
    if (stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        error = p.string() + "：" + systemError(ENOTDIR);
        return false;
      }
      break;
    }
    missing.insert(missing.begin(), p);
    if (p == p.parent_path()) break;
  }
  for (const std::filesystem::path& p : missing) {
    // Another copy may create it at the same moment.
    if (mkdir(p.c_str(), 0700) != 0 && errno != EEXIST) {
      error = p.string() + "：" + systemError(errno);
      return false;
    }
  }
  return true;
}

AppendOutcome AppendWholeLine(const std::filesystem::path& file, const std::string& line) {
  AppendOutcome outcome;
  Descriptor d{open(file.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600)};
  if (d.fd < 0 || !lock(d.fd, LOCK_EX)) {
    outcome.error = systemError(errno);
    return outcome;
  }
  struct stat st {};
  if (fstat(d.fd, &st) != 0) {
    outcome.error = systemError(errno);
    return outcome;
  }
  const off_t size = st.st_size;
  std::string data = line;
  char last = '\n';
  if (size > 0 && pread(d.fd, &last, 1, size - 1) == 1 && last != '\n') data.insert(data.begin(), '\n');
  ssize_t written;
  do {
    written = write(d.fd, data.data(), data.size());
  } while (written < 0 && errno == EINTR);
  int error = written < 0 ? errno : 0;
  if (written >= 0 && static_cast<std::size_t>(written) != data.size()) error = ENOSPC;
  // On disk before the lock goes: a later reader or writer must not build on a line that a crash loses.
  if (!error && fdatasync(d.fd) != 0) error = errno;
  if (error)
    return FailedAppend(systemError(error), [&]() -> std::optional<std::string> {
      if (written <= 0 || ftruncate(d.fd, size) == 0) return std::nullopt;
      return systemError(errno);
    });
  outcome.ok = true;
  return outcome;
}

ReadOutcome ReadLockedFile(const std::filesystem::path& file) {
  ReadOutcome outcome;
  Descriptor d{open(file.c_str(), O_RDONLY | O_CLOEXEC)};
  if (d.fd < 0) {
    if (errno == ENOENT) outcome.status = ReadOutcome::Missing;
    outcome.error = systemError(errno);
    return outcome;
  }
  if (!lock(d.fd, LOCK_SH)) {
    outcome.error = systemError(errno);
    return outcome;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(d.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      outcome.error = systemError(errno);
      return outcome;
    }
    if (n == 0) break;
    outcome.content.append(buffer, static_cast<std::size_t>(n));
  }
  outcome.status = ReadOutcome::Read;
  return outcome;
}

std::string PathText(const std::filesystem::path& path) {
  return path.string();
}

} // namespace zelvo::platform
