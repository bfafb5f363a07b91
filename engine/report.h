#pragma once
// The result report: query, scrambling and authentication code. CWorkThread::Report uses them.

#include <cstdint>
#include <string>
#include <vector>

namespace zelvo {

class CWorkThread;

// The value of the session cookie: the text after its first '=' up to the first space or line break
// (the cookie carries the trailing spaces of the requests). Empty when there is no '='.
std::string ReportCookieValue(const std::string& sessionCookie);

// The 26-field report query of the engine's results and profile, with the given auth_code.
std::string ComposeReportQuery(CWorkThread& engine, const std::string& authCode);
// "Null=%d%d&%s": two numbers of 0 to 9999, then the query.
std::string ReportText(int r1, int r2, const std::string& query);

// CP950 text as UTF-16 code units, low byte first. Bytes that start no CP950 character become U+FFFD.
std::vector<std::uint8_t> ToUtf16Bytes(const std::string& text);
// Two characters of "0123456789ABCDEF" per byte, high nibble first.
std::string HexUpper(const std::vector<std::uint8_t>& bytes);
// The characters at the 1-based positions 4, 7, 10, ... of the value.
std::string PickKey(const std::string& value);
// Each hex pair as a byte XOR the key's characters in turn, as two lower-case hex digits. An empty key
// gives an empty text: there is nothing to scramble with, and the caller must not send the report.
std::string ScrambleHex(const std::string& hex, const std::string& key);
// MD5Hex of the address with '.' as 'A', '0' as 'K', '1'..'9' as 'B'..'J' (any other character kept
// as it is), then the address's length in decimal, then the value.
std::string MakeAuthCode(const std::string& address, const std::string& value);

} // namespace zelvo
