#pragma once
// The service's name/value documents, the built-in letter-pair texts and the version check.

#include <optional>
#include <string>
#include <vector>

namespace zelvo {

// Names in lower case and their values, in document order.
struct ParsedDocument {
  std::vector<std::string> names;
  std::vector<std::string> values;
};

// Splits text of the form name=value;name=value;... A value ends at the next ";" only.
ParsedDocument ParseDocument(const std::string& text);

// The value of the first entry whose name equals the lower-cased name; empty when there is none.
std::string LookupValue(const std::string& name, const std::vector<std::string>& names,
                        const std::vector<std::string>& values);
inline std::string LookupValue(const std::string& name, const ParsedDocument& document) {
  return LookupValue(name, document.names, document.values);
}

// Letter pairs 'a'..'p' to bytes: ((c1 - 97) * 16 + ((c2 - 97) & 15)) & 255 per pair.
std::string decodeLetterPairs(const std::string& letters);
// The inverse, for configuration tools and tests.
std::string encodeLetterPairs(const std::string& bytes);

// The shortest decimal text (up to 15 significant digits) of the value's longest decimal prefix
// (sign, digits, point, digits); "0" when there is none.
std::string CanonicalVersion(const std::string& value);

enum VersionVerdict { kUpdateRequired = 1, kUpdateAvailable = 2, kVersionCurrent = 3 };
// Compares the texts byte by byte (a proper prefix is the smaller), not as numbers.
VersionVerdict CheckVersion(const std::string& appVersion, const std::string& verMin,
                            const std::string& verServer);

// A strictly decimal integer (optional sign, digits, nothing else, within 32 bits).
std::optional<int> ParseDecimalInt(const std::string& text);

} // namespace zelvo
