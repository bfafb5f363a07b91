// Text helpers shared by every platform.
#include "platform/registry.h"

#include <fstream>
#include <sstream>

namespace zelvo::platform {

std::optional<std::string> ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

std::string ProxyHostPort(const std::string& url) {
  std::string rest = url;
  if (auto scheme = rest.find("://"); scheme != std::string::npos) rest = rest.substr(scheme + 3);
  if (auto slash = rest.find('/'); slash != std::string::npos) rest = rest.substr(0, slash);
  if (auto at = rest.rfind('@'); at != std::string::npos) rest = rest.substr(at + 1);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\n' || rest.back() == '\r'))
    rest.pop_back();
  return rest;
}

std::string CpuModelName(const std::string& cpuinfo) {
  std::istringstream lines(cpuinfo);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    std::size_t start = value.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : value.substr(start);
  }
  return {};
}

} // namespace zelvo::platform
