#include "platform/privileges.h"

#include "platform/icmp.h"

#include <memory>
#include <sys/capability.h>
#include <type_traits>

namespace zelvo::platform {

namespace {

using Capabilities = std::unique_ptr<std::remove_pointer_t<cap_t>, int (*)(void*)>;

Capabilities own(cap_t caps) {
  return Capabilities(caps, &cap_free);
}

bool holds(cap_t caps, cap_value_t capability, cap_flag_t set) {
  cap_flag_value_t value = CAP_CLEAR;
  return cap_get_flag(caps, capability, set, &value) == 0 && value == CAP_SET;
}

// A file capability given as permitted only (+p, not +ep) leaves raising it to the program.
void raiseNetRaw() {
  Capabilities caps = own(cap_get_proc());
  if (!caps || !holds(caps.get(), CAP_NET_RAW, CAP_PERMITTED) ||
      holds(caps.get(), CAP_NET_RAW, CAP_EFFECTIVE))
    return;
  const cap_value_t netRaw = CAP_NET_RAW;
  cap_set_flag(caps.get(), CAP_EFFECTIVE, 1, &netRaw, CAP_SET);
  cap_set_proc(caps.get());
}

} // namespace

bool KeepEchoSocketAndDropPrivileges() {
  raiseNetRaw();
  IcmpReserveRawSocket();
  Capabilities caps = own(cap_get_proc());
  // The bounding set caps what a later exec could gain: root would otherwise get everything back with
  // the next program it starts (a browser, a helper of the toolkit).
  if (caps && holds(caps.get(), CAP_SETPCAP, CAP_EFFECTIVE))
    for (cap_value_t capability = 0; CAP_IS_SUPPORTED(capability); ++capability)
      cap_drop_bound(capability);
  // Ambient capabilities would pass to every program this one starts; clearing them needs no privilege
  // (and fails only on kernels without them).
  cap_reset_ambient();
  Capabilities none = own(cap_init());
  if (!none) return false;
  cap_set_proc(none.get());
  // Whatever the calls said: what counts is that nothing is left.
  Capabilities left = own(cap_get_proc());
  return left && cap_compare(left.get(), none.get()) == 0;
}

} // namespace zelvo::platform
