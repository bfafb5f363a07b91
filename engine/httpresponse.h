#pragma once
// The rules that turn what the request object received into the engine's texts.

#include "platform/cp950.h"

#include <cstddef>
#include <string>

namespace zelvo {

// Longest response text the engine keeps, in CP950 bytes.
inline constexpr std::size_t kMaxResponseText = 9999;
// Longest Set-Cookie value taken, in CP950 bytes.
inline constexpr std::size_t kMaxCookieHeader = 511;

using platform::CutCp950;

// A response as the engine sees it: CP950, capped at kMaxResponseText bytes, and with every 0x1E
// turned into ';' and every 0x1F into '=' (neither byte can be part of a double-byte character).
std::string ResponseToDocumentText(const std::string& utf8Response);

// The session cookie from a Set-Cookie value: the part before the first ';' of the value in CP950
// (at most kMaxCookieHeader bytes), unchanged.
std::string CookieFromSetCookie(const std::string& utf8SetCookie);

// Time-outs of an engine request by the mean round trip: 15000 ms above 150 ms, else 10000 ms.
int RequestTimeoutMs(float pingAvgMs);

} // namespace zelvo
