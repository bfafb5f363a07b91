#include "engine/document.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace zelvo {

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

} // namespace

ParsedDocument ParseDocument(const std::string& text) {
  // Pairs end at ';' and a name at its first '='; the rest of the pair is the value, so a value may
  // hold '=' and may be empty. (A tokenizer that skips empty tokens would hand an empty value the
  // next pair's text: "result_url=;flags=9" must not read as a result address.)
  ParsedDocument doc;
  std::size_t pos = 0;
  bool first = true;
  while (pos <= text.size()) {
    std::size_t end = text.find(';', pos);
    if (end == std::string::npos) end = text.size();
    std::string pair = text.substr(pos, end - pos);
    pos = end + 1;
    std::size_t start = pair.find_first_not_of('=');
    if (start == std::string::npos) {
      // Nothing but separators: only the first pair is kept, as an empty one.
      if (first) {
        doc.names.emplace_back();
        doc.values.emplace_back();
      }
      first = false;
      continue;
    }
    std::size_t equals = pair.find('=', start);
    doc.names.push_back(
        Lower(pair.substr(start, equals == std::string::npos ? std::string::npos : equals - start)));
    doc.values.push_back(equals == std::string::npos ? std::string() : pair.substr(equals + 1));
    first = false;
  }
  return doc;
}

std::string LookupValue(const std::string& name, const std::vector<std::string>& names,
                        const std::vector<std::string>& values) {
  const std::string wanted = Lower(name);
  for (std::size_t i = 0; i < names.size() && i < values.size(); ++i)
    if (names[i] == wanted) return values[i];
  return {};
}

std::string decodeLetterPairs(const std::string& letters) {
  std::string out;
  out.reserve(letters.size() / 2);
  for (std::size_t i = 0; i + 1 < letters.size(); i += 2) {
    int c1 = static_cast<unsigned char>(letters[i]);
    int c2 = static_cast<unsigned char>(letters[i + 1]);
    out.push_back(static_cast<char>(((c1 - 97) * 16 + ((c2 - 97) & 15)) & 255));
  }
  return out;
}

std::string encodeLetterPairs(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out.push_back(static_cast<char>('a' + (b >> 4)));
    out.push_back(static_cast<char>('a' + (b & 15)));
  }
  return out;
}

std::string CanonicalVersion(const std::string& value) {
  // Only the decimal prefix counts: an optional sign, digits, and one point with more digits. strtod
  // would also take blanks, hexadecimal, exponents, "inf" and "nan".
  std::size_t end = 0;
  if (end < value.size() && (value[end] == '+' || value[end] == '-')) ++end;
  std::size_t digits = 0;
  auto skipDigits = [&] {
    while (end < value.size() && value[end] >= '0' && value[end] <= '9') {
      ++end;
      ++digits;
    }
  };
  skipDigits();
  if (end < value.size() && value[end] == '.') {
    ++end;
    skipDigits();
  }
  if (digits == 0) return "0";
  // from_chars reads the C locale's form whatever the process locale, correctly rounded as strtod.
  const char* first = value.data();
  const char* last = first + end;
  const bool negative = *first == '-';
  if (*first == '+') ++first; // from_chars takes no plus sign
  double number = 0;
  if (std::from_chars(first, last, number, std::chars_format::fixed).ec == std::errc::result_out_of_range) {
    // More digits than a double holds: the largest one, not "inf"; a value too small for one is zero.
    const bool large =
        std::any_of(first, std::find(first, last, '.'), [](char d) { return d > '0' && d <= '9'; });
    number = std::copysign(large ? DBL_MAX : 0.0, negative ? -1.0 : 1.0);
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", number);
  // The decimal separator is "." whatever the process locale.
  for (char* p = buffer; *p; ++p)
    if (*p == ',') *p = '.';
  return buffer;
}

VersionVerdict CheckVersion(const std::string& appVersion, const std::string& verMin,
                            const std::string& verServer) {
  // std::string compares unsigned-char-wise through char_traits<char>::compare (memcmp), and a
  // proper prefix compares smaller.
  if (appVersion.compare(CanonicalVersion(verMin)) < 0) return kUpdateRequired;
  if (appVersion.compare(CanonicalVersion(verServer)) < 0) return kUpdateAvailable;
  return kVersionCurrent;
}

std::optional<int> ParseDecimalInt(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return std::nullopt;
  for (std::size_t j = i; j < text.size(); ++j)
    if (text[j] < '0' || text[j] > '9') return std::nullopt;
  errno = 0;
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return std::nullopt;
  return static_cast<int>(v);
}

} // namespace zelvo
