#include "platform/netsh.h"
#include "platform/win32detail.h"

namespace zelvo::platform {

// The route interface plays no part here: the command itself reports the interface's settings. A
// netsh that hangs (a helper of its own that does not answer) must not hold the run's profile up.
std::optional<std::string> RunNetshTcpShowGlobal(std::uint32_t) {
  return RunForOutput("netsh int tcp show global", 10000);
}

} // namespace zelvo::platform
