// Control-channel reply lines from the FTP server.

#include "workers/ftpthread.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  std::optional<zelvo::FtpReplyLine> reply = zelvo::ParseFtpReplyLine(line);
  if (!reply) {
    if (line.size() >= 3) std::abort();
    return 0;
  }
  if (reply->announcedSize < -1) std::abort();
  return 0;
}
