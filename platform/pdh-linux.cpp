#include "platform/pdh.h"

#include "platform/registry.h"

#include <sstream>

namespace zelvo::platform {

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
  std::optional<double> busy = BusyPercent(previous_, latest_);
  if (busy) value = *busy;
  return busy.has_value();
}

} // namespace zelvo::platform
