// The service and test documents: name/value pairs from the web service.

#include "engine/document.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  zelvo::ParsedDocument doc = zelvo::ParseDocument(text);
  if (doc.names.size() != doc.values.size()) std::abort();
  for (const std::string& name : doc.names)
    for (char c : name)
      if (c >= 'A' && c <= 'Z') std::abort(); // names are stored in lower case
  for (const char* name : {"ver_min", "ver_server", "Update_URL", "agreement", "test_permission", "url",
                           "uid", "pwd", "dl_path", "ul_path"})
    zelvo::LookupValue(name, doc);
  for (const char* name : {"ul_duration", "dl_duration", "timeout", "ul_session", "dl_session"})
    zelvo::ParseDecimalInt(zelvo::LookupValue(name, doc));
  return 0;
}
