#include "platform/privileges.h"

namespace zelvo::platform {

// A Windows program starts with its user's rights, and icmp.dll needs no more: nothing to give up.
bool KeepEchoSocketAndDropPrivileges() {
  return true;
}

} // namespace zelvo::platform
