#include "platform/pdh.h"

#include "platform/registry.h"

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

PdhQuery::PdhQuery(StatReader reader) : reader_(std::move(reader)) {
  if (!reader_) reader_ = [] { return ReadSmallFile("/proc/stat"); };
}

bool PdhQuery::addCounter(const std::string& path) {
  if (path != kProcessorTimeCounter) return false;
  counter_ = true;
  return true;
}

void PdhQuery::removeCounter() {
  counter_ = false;
  previous_.reset();
  latest_.reset();
}

bool PdhQuery::collect() {
  if (!counter_) return false;
  auto text = reader_();
  auto ticks = text ? ParseProcStat(*text) : std::nullopt;
  if (!ticks) return false;
  previous_ = latest_;
  latest_ = ticks;
  return true;
}

bool PdhQuery::formattedDouble(double& value) const {
  if (!previous_ || !latest_ || latest_->total <= previous_->total || latest_->busy < previous_->busy)
    return false;
  double busy = static_cast<double>(latest_->busy - previous_->busy);
  double total = static_cast<double>(latest_->total - previous_->total);
  value = 100.0 * busy / total;
  if (value > 100.0) value = 100.0;
  return true;
}

} // namespace zelvo::platform
