// The /proc/stat parser, shared by every platform (tests read it everywhere).
#include "platform/pdh.h"

#include <sstream>

namespace zelvo::platform {

std::optional<CpuTicks> ParseProcStat(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string label;
    if (!(fields >> label) || label != "cpu") continue;
    // user nice system idle iowait irq softirq steal; guest time is already inside user.
    std::uint64_t value[8] = {};
    int count = 0;
    while (count < 8 && (fields >> value[count]))
      ++count;
    if (count < 4) return std::nullopt;
    CpuTicks ticks;
    for (int i = 0; i < count; ++i)
      ticks.total += value[i];
    ticks.busy = ticks.total - value[3] - (count > 4 ? value[4] : 0);
    return ticks;
  }
  return std::nullopt;
}

} // namespace zelvo::platform
