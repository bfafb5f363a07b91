#include "sysinfo/windowprofile.h"

#include "config/builtin_config.h"

namespace zelvo {

std::string DecodeBuiltinText(const char* letters) {
  std::string out;
  for (const char* p = letters; p[0] && p[1]; p += 2)
    out.push_back(static_cast<char>(((p[0] - 97) * 16 + ((p[1] - 97) & 15)) & 255));
  return out;
}

WindowProfile::WindowProfile()
    : primaryReference(DecodeBuiltinText(builtin::primaryProbeHost)),
      alternateReference(DecodeBuiltinText(builtin::alternateProbeHost)), sources(ProfileSources::System()) {}

} // namespace zelvo
