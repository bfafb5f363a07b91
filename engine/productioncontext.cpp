#include "engine/workthread.h"

#include "sysinfo/iphlpapi.h"
#include "workers/ftpthread.h"

namespace zelvo {

EngineContext ProductionEngineContext(EngineConfig config) {
  EngineContext c;
  c.config = std::move(config);
  c.newSession = [] { return std::make_unique<CFTPSession>(); };
  // A fresh table on every call; a position outside it has no counters.
  c.readInterfaceCounters = [](std::int32_t position) -> std::optional<OctetCounters> {
    std::vector<InterfaceRow> rows;
    if (!GetInterfaceTable(rows) || position < 0 || static_cast<std::size_t>(position) >= rows.size())
      return std::nullopt;
    return OctetCounters{rows[position].inOctets, rows[position].outOctets};
  };
  return c;
}

} // namespace zelvo
