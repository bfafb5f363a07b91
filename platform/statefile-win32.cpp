#include "platform/statefile.h"
#include "platform/win32detail.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>
#include <vector>

namespace zelvo::platform {

namespace {

std::string utf8(const std::wstring& text) {
  int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                     nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr,
                          nullptr);
  return out;
}

std::string systemError(DWORD error) {
  wchar_t* message = nullptr;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::wstring text = n && message ? std::wstring(message, n) : std::wstring();
  if (message) ::LocalFree(message);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  return (text.empty() ? std::string() : utf8(text) + " ") + "(" + std::to_string(error) + ")";
}

// Windows locks are mandatory: a lock on the lines themselves would stop readers of other programs (an
// editor, a backup) as well. The copies lock one byte far past any history instead.
bool lockByte(HANDLE h, bool exclusive) {
  OVERLAPPED at{};
  at.Offset = 0x40000000;
  return ::LockFileEx(h, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0, &at) != 0;
}

bool seek(HANDLE h, LONGLONG offset) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  return ::SetFilePointerEx(h, to, nullptr, FILE_BEGIN) != 0;
}

} // namespace

std::optional<std::filesystem::path> UserStateFolder(const std::string&, const std::string& windowsName) {
  PWSTR known = nullptr;
  std::wstring base;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known)) && known) base = known;
  if (known) ::CoTaskMemFree(known);
  if (base.empty()) {
    wchar_t buffer[MAX_PATH];
    DWORD n = ::GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
    if (n > 0 && n < MAX_PATH) base.assign(buffer, n);
  }
  if (base.empty()) return std::nullopt;
  return std::filesystem::path(base) / Utf8ToWide(windowsName);
}

bool MakePrivateFolder(const std::filesystem::path& folder, std::string& error) {
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path p = folder; !p.empty(); p = p.parent_path()) {
    const DWORD attributes = ::GetFileAttributesW(p.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = PathText(p) + "：" + systemError(ERROR_DIRECTORY);
        return false;
      }
      break;
    }
    missing.insert(missing.begin(), p);
    if (p == p.parent_path()) break;
  }
  // Under Local AppData a new folder inherits the profile's permissions: the user's own.
  for (const std::filesystem::path& p : missing) {
    if (!::CreateDirectoryW(p.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      error = PathText(p) + "：" + systemError(::GetLastError());
      return false;
    }
  }
  return true;
}

AppendOutcome AppendWholeLine(const std::filesystem::path& file, const std::string& line) {
  AppendOutcome outcome;
  const Handle f(::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (f.get() == INVALID_HANDLE_VALUE || !lockByte(f.get(), true)) {
    outcome.error = systemError(::GetLastError());
    return outcome;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(f.get(), &size)) {
    outcome.error = systemError(::GetLastError());
    return outcome;
  }
  std::string data = line;
  char last = '\n';
  DWORD got = 0;
  if (size.QuadPart > 0 && seek(f.get(), size.QuadPart - 1) && ::ReadFile(f.get(), &last, 1, &got, nullptr) &&
      got == 1 && last != '\n')
    data.insert(data.begin(), '\n');
  DWORD written = 0;
  DWORD error = 0;
  if (!seek(f.get(), size.QuadPart) ||
      !::WriteFile(f.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr))
    error = ::GetLastError();
  else if (written != data.size())
    error = ERROR_DISK_FULL;
  // On disk before the lock goes: a later reader or writer must not build on a line that a crash loses.
  if (!error && !::FlushFileBuffers(f.get())) error = ::GetLastError();
  if (error)
    return FailedAppend(systemError(error), [&]() -> std::optional<std::string> {
      if (seek(f.get(), size.QuadPart) && ::SetEndOfFile(f.get())) return std::nullopt;
      return systemError(::GetLastError());
    });
  outcome.ok = true;
  return outcome;
}

ReadOutcome ReadLockedFile(const std::filesystem::path& file) {
  ReadOutcome outcome;
  const Handle f(::CreateFileW(file.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (f.get() == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) outcome.status = ReadOutcome::Missing;
    outcome.error = systemError(error);
    return outcome;
  }
  if (!lockByte(f.get(), false)) {
    outcome.error = systemError(::GetLastError());
    return outcome;
  }
  char buffer[65536];
  DWORD got = 0;
  for (;;) {
    if (!::ReadFile(f.get(), buffer, sizeof buffer, &got, nullptr)) {
      outcome.error = systemError(::GetLastError());
      return outcome;
    }
    if (got == 0) break;
    outcome.content.append(buffer, got);
  }
  outcome.status = ReadOutcome::Read;
  return outcome;
}

std::string PathText(const std::filesystem::path& path) {
  return utf8(path.wstring());
}

} // namespace zelvo::platform
