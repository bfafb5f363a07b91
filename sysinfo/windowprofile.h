#pragma once
// The window-side profile: what the window's thread collects for the report before each test
// (connection, TCP settings, memory, power, disk) and samples during it (processor load, memory).
// Every function here runs on the window's thread.

#include "engine/testrecord.h"
#include "platform/pdh.h"
#include "sysinfo/sources.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zelvo {

struct WindowProfile {
  WindowProfile(); // the built-in reference addresses and this machine's sources

  std::int32_t enableWsd = -1;
  std::string netshState; // empty until the first run of the command
  bool isOs6OrLater = false;
  // The route interface found by the last connection probe (0 before one succeeded).
  std::uint32_t routeIfIndex = 0;
  // The two reference addresses (dotted) whose route decides the interface: the probe hosts.
  std::string primaryReference, alternateReference;
  // The processor load query, open from the testing page to the program's end.
  std::unique_ptr<platform::PdhQuery> processorQuery;
  double counterValue = 0.0;
  ProfileSources sources;
};

// Decodes the built-in letter-pair text (the same form the engine decodes).
std::string DecodeBuiltinText(const char* letters);

} // namespace zelvo
