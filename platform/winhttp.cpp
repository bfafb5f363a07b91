// The header lists, shared by both request objects.
#include "platform/winhttp.h"

namespace zelvo::platform {

namespace {
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}
} // namespace

bool SetHeader(HeaderList& headers, const std::string& name, const std::string& value) {
  if (name.empty() || name.find_first_of("\r\n:") != std::string::npos ||
      value.find_first_of("\r\n") != std::string::npos)
    return false;
  for (auto& header : headers)
    if (SameName(header.first, name)) {
      header.second = value;
      return true;
    }
  headers.emplace_back(name, value);
  return true;
}

std::optional<std::string> FindHeader(const HeaderList& headers, const std::string& name) {
  for (const auto& header : headers)
    if (SameName(header.first, name)) return header.second;
  return std::nullopt;
}

} // namespace zelvo::platform
