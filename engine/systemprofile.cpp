#include "engine/workthread.h"

#include "sysinfo/systemprofile.h"

namespace zelvo {

// Operating system, antivirus, processor and disk, on the engine's thread once per program start. A
// profile that cannot be collected leaves its "null" texts and the run goes on.
void CWorkThread::SystemProfile() {
  bool nt6 = false;
  RunEngineSystemProfile(record(), nt6);
  osIsNt6 = nt6;
}

} // namespace zelvo
