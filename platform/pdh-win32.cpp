#include "platform/pdh.h"
#include "platform/win32detail.h"

#include <windows.h>

#include <pdh.h>
#include <pdhmsg.h>

namespace zelvo::platform {

namespace {
struct NativeQuery {
  PDH_HQUERY query = nullptr;
  PDH_HCOUNTER counter = nullptr;
  int collections = 0;
  ~NativeQuery() {
    if (query) ::PdhCloseQuery(query);
  }
};
} // namespace

bool PdhStatusHasValue(std::uint32_t counterStatus) {
  // "New data" is the status of a value collected since the last read: as good as "valid".
  return counterStatus == PDH_CSTATUS_VALID_DATA || counterStatus == PDH_CSTATUS_NEW_DATA;
}

PdhQuery::PdhQuery(StatReader reader) : reader_(std::move(reader)) {}

bool PdhQuery::addCounter(const std::string& path) {
  if (path != kProcessorTimeCounter) return false;
  if (!reader_) {
    auto native = std::make_shared<NativeQuery>();
    if (::PdhOpenQueryA(nullptr, 0, &native->query) != ERROR_SUCCESS) {
      native->query = nullptr;
      return false;
    }
    if (::PdhAddCounterA(native->query, path.c_str(), 0, &native->counter) != ERROR_SUCCESS) return false;
    native_ = native;
  }
  counter_ = true;
  return true;
}

void PdhQuery::removeCounter() {
  counter_ = false;
  native_.reset();
  previous_.reset();
  latest_.reset();
}

bool PdhQuery::collect() {
  if (!counter_) return false;
  if (native_) {
    auto* native = static_cast<NativeQuery*>(native_.get());
    if (::PdhCollectQueryData(native->query) != ERROR_SUCCESS) return false;
    ++native->collections;
    return true;
  }
  return collectFromReader();
}

bool PdhQuery::formattedDouble(double& value) const {
  if (native_) {
    auto* native = static_cast<NativeQuery*>(native_.get());
    // A rate counter needs two collections before it has a value.
    if (native->collections < 2) return false;
    PDH_FMT_COUNTERVALUE formatted{};
    DWORD type = 0;
    if (::PdhGetFormattedCounterValue(native->counter, PDH_FMT_DOUBLE, &type, &formatted) != ERROR_SUCCESS ||
        !PdhStatusHasValue(formatted.CStatus))
      return false;
    value = formatted.doubleValue > 100.0 ? 100.0 : formatted.doubleValue;
    return true;
  }
  return readerValue(value);
}

} // namespace zelvo::platform
