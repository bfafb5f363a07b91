// What every platform's state file shares.
#include "platform/statefile.h"

namespace zelvo::platform {

AppendOutcome FailedAppend(const std::string& writeError,
                           const std::function<std::optional<std::string>()>& takeBack) {
  AppendOutcome outcome;
  outcome.error = writeError;
  if (const std::optional<std::string> kept = takeBack()) outcome.error += "；" + *kept;
  return outcome;
}

} // namespace zelvo::platform
