#include "sysinfo/sources.h"

#include "platform/netsh.h"

namespace zelvo {

std::optional<std::string> NetshSource::tcpShowGlobal(std::uint32_t routeInterfaceIndex) const {
  return platform::RunNetshTcpShowGlobal(routeInterfaceIndex);
}

ProfileSources ProfileSources::System() {
  static const IpHelperSource ipHelper;
  static const KernelSource kernel;
  static const NetshSource netsh;
  return ProfileSources{&ipHelper, &kernel, &platform::SystemRegistry(), &netsh};
}

} // namespace zelvo
