#include "frontend/settings.h"

#include "engine/config.h"
#include "engine/document.h"

#include <fstream>

namespace zelvo {

bool ParseAutoTestLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  // Read as a text file: a line ending in CR LF counts like one ending in LF.
  if (!line.empty() && line.back() == '\r') line.pop_back();
  line = line.substr(0, 99);
  std::string tokens[2];
  int count = 0;
  std::size_t pos = 0;
  const char* separators = "\t\n ";
  while (count < 2) {
    pos = line.find_first_not_of(separators, pos);
    if (pos == std::string::npos) break;
    std::size_t end = line.find_first_of(separators, pos);
    tokens[count++] = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (end == std::string::npos) break;
    pos = end;
  }
  return count == 2 && tokens[0] == "AutoTest" && (tokens[1] == "Y" || tokens[1] == "y");
}

bool ReadAutoTestSetting(const std::string& path) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  std::getline(in, line);
  return ParseAutoTestLine(line);
}

std::string BuiltInSettingsFile() {
  return decodeLetterPairs(BuiltInSettingsFileName());
}

} // namespace zelvo
