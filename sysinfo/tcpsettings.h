#pragma once
// The TCP stack settings of the report: registry numbers, the proxy, the TCP globals of
// "netsh int tcp show global", and the composed network parameter text. Window thread.

#include "engine/testrecord.h"
#include "sysinfo/windowprofile.h"

#include <array>
#include <cstdint>
#include <string>

namespace zelvo {

// Only this much of the command's output is parsed.
inline constexpr std::size_t kNetshOutputLimit = 4196;

// The seven state numbers in the order of netshState: RSS, Chimney, AutoTuning, CongestionProvider,
// NetDMA, DCA, RFC1323; -1 for a line that was not found.
using NetshState = std::array<std::int32_t, 7>;
// Parses the command's output (the first kNetshOutputLimit bytes).
NetshState ParseNetshState(const std::string& output);
std::string FormatNetshState(const NetshState& state);

// Reads the registry view: the five numbers of the record, enableWsd, the proxy and, before
// platform version 6, the processor name.
void vGetRegistryInfo(TestRecord& record, WindowProfile& window);
// Runs the command and sets window.netshState; leaves it unchanged when the command cannot be run.
void vGetNetshState(WindowProfile& window);
// Writes netParameters and the decimal texts of its items.
void ComposeNetParameters(TestRecord& record, const WindowProfile& window);

} // namespace zelvo
