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
  return collectFromReader();
}

bool PdhQuery::formattedDouble(double& value) const {
  return readerValue(value);
}

} // namespace zelvo::platform
