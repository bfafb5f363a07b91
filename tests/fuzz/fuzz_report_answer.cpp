// The report's answer (a name/value document) and the session cookie the service sets.

#include "engine/document.h"
#include "engine/report.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  zelvo::ParsedDocument doc = zelvo::ParseDocument(text);
  zelvo::LookupValue("result_url", doc);
  zelvo::LookupValue("flags", doc);
  zelvo::LookupValue("itime", doc);
  const std::string value = zelvo::ReportCookieValue(text);
  zelvo::MakeAuthCode("10.0.0.1", value);
  zelvo::ScrambleHex("00FF", zelvo::PickKey(value));
  return 0;
}
