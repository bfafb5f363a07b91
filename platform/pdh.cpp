// The /proc/stat parser and the busy share, shared by every platform (tests read them everywhere).
#include "platform/pdh.h"

#include <algorithm>
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

std::optional<double> BusyPercent(const std::optional<CpuTicks>& previous,
                                  const std::optional<CpuTicks>& latest) {
  if (!previous || !latest || latest->total <= previous->total || latest->busy < previous->busy)
    return std::nullopt;
  double busy = static_cast<double>(latest->busy - previous->busy);
  double total = static_cast<double>(latest->total - previous->total);
  return std::min(100.0 * busy / total, 100.0);
}

bool PdhQuery::collectFromReader() {
  auto text = reader_();
  auto ticks = text ? ParseProcStat(*text) : std::nullopt;
  if (!ticks) return false;
  previous_ = latest_;
  latest_ = ticks;
  return true;
}

bool PdhQuery::readerValue(double& value) const {
  std::optional<double> busy = BusyPercent(previous_, latest_);
  if (busy) value = *busy;
  return busy.has_value();
}

} // namespace zelvo::platform
