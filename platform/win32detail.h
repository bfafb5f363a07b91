#pragma once
// Pieces of the Windows stand-ins that several of them share, or that tests check on their own where
// the system call around them cannot be made to give the case (Windows builds only).

#include "platform/linkfacts.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct _WLAN_CONNECTION_ATTRIBUTES;

namespace zelvo::platform {

// Owns a kernel handle (HANDLE is void*) and closes it on every way out, and with it any lock it
// holds; null and INVALID_HANDLE_VALUE, what failed calls give, are left alone.
struct HandleCloser {
  void operator()(void* handle) const;
};
using Handle = std::unique_ptr<void, HandleCloser>;

// UTF-8 as the system's wide text, a malformed sequence becoming U+FFFD: a name or a path still works,
// where Utf8ToUtf16 refuses the whole text.
std::wstring Utf8ToWide(const std::string& text);

// What a console program writes (its output and its errors) when it ends within timeoutMs; none when it
// cannot start or is still running then, when it is ended. Its input is the given handle, or nothing
// (NUL) when that is null: the caller's own console never reaches it.
std::optional<std::string> RunForOutput(const std::string& commandLine, unsigned timeoutMs,
                                        void* input = nullptr);

// A formatted counter value is usable when its status is "valid" or "new data".
bool PdhStatusHasValue(std::uint32_t counterStatus);

// Echo records alive in this process: started and neither delivered nor released after their handle
// was closed.
std::size_t IcmpEchoRecords();

// IP_ADAPTER_INFO as iphlpapi.dll fills it: 640 bytes on 32-bit Windows, whose lease times are 32-bit
// whatever the compiler's time_t, and 704 bytes with 64-bit times on 64-bit Windows.
inline constexpr std::size_t kNativeAdapterInfoSize = sizeof(void*) == 4 ? 640 : 704;
inline constexpr std::size_t kNativeLeaseObtainedOffset = sizeof(void*) == 4 ? 632 : 688;
struct AdapterLeaseTimes {
  std::int64_t obtained = 0, expires = 0;
};
AdapterLeaseTimes LeaseTimesOf(const void* nativeAdapterInfo);

// The facts of a wireless link from the WLAN API's current connection and, when it answered, its
// channel number.
LinkFacts WlanConnectionFacts(const _WLAN_CONNECTION_ATTRIBUTES& connection,
                              std::optional<unsigned long> channel);

} // namespace zelvo::platform
