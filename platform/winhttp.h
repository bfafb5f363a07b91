#pragma once
// Stand-in for the WinHTTP request object: one synchronous HTTP request with four time-outs, request
// headers, a response status, response headers and the response decoded as text. Implemented over the
// libcurl easy interface. Texts crossing this interface are UTF-8 (the stand-in of the platform's wide
// strings); callers convert to and from the program's code page with the helpers at the end.
//
// How the four limits map onto libcurl (0 or -1 means no limit, as on the platform):
//   resolve  the host name is resolved by getaddrinfo on a helper thread that is waited for at most
//            this long; the address found is pinned for the transfer (CURLOPT_RESOLVE). Numeric hosts
//            skip it. Hosts reached through a redirect are resolved by libcurl within the connect limit.
//   connect  CURLOPT_CONNECTTIMEOUT_MS: from the start of the connect to an established connection.
//   send     while request body remains unsent, the longest time without any body byte going out.
//   receive  once the request is out, the longest time without any response byte (header or body)
//            coming in.
// send and receive are looked at every 25 ms while the transfer runs (the transfer is driven through a
// multi handle for that), so each fires within about 25 ms of running out.
//
// A cancel check, when set, is asked at the same pace (and while a name is being resolved); once it
// answers true the request fails within about 25 ms.
//
// Every object is used by one thread at a time; different objects may run on different threads.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zelvo::platform {

class WinHttpRequest {
public:
  virtual ~WinHttpRequest() = default;

  // Limits in milliseconds; false for a value below -1.
  virtual bool SetTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs) = 0;
  // Prepares a request; nothing goes out yet. Only synchronous requests exist: false when async is
  // set, for a method other than GET and POST, or for an address that is not http: or https:.
  virtual bool Open(const std::string& method, const std::string& url, bool async) = 0;
  // Adds or replaces a request header (the value is sent exactly as given, trailing spaces kept);
  // false before Open or for a name or value holding a line break.
  virtual bool SetRequestHeader(const std::string& name, const std::string& value) = 0;
  // Asked by Send on the calling thread; true gives the request up.
  virtual void SetCancelCheck(std::function<bool()> cancelled) = 0;
  // Performs the request, with the body when one is given. True when a response arrived, whatever its
  // status; false on a failure of resolving, connecting, sending or receiving, or when a limit ran out.
  virtual bool Send(const std::optional<std::string>& body) = 0;
  // The response's HTTP status; 0 before a response arrived.
  virtual long Status() const = 0;
  // The first header of that name of the final response (name compared without case).
  virtual std::optional<std::string> GetResponseHeader(const std::string& name) const = 0;
  // The response body decoded from the charset its Content-Type names (CP950 when none is named or
  // iconv does not know it); undecodable bytes become U+FFFD. nullopt before a response arrived.
  virtual std::optional<std::string> ResponseText() const = 0;
};

// A new request object over libcurl; null only when libcurl cannot make a handle.
std::unique_ptr<WinHttpRequest> CreateWinHttpRequest();

#ifdef _WIN32
// The Windows code page of a Content-Type's charset; CP950 when none is named or it is not known.
unsigned CharsetCodePage(const std::string& contentType);
#endif

// The platform's wide-to-code-page conversion: UTF-8 to CP950, each character CP950 cannot hold
// (or each malformed sequence) becoming "?".
std::string Utf8ToAnsi(const std::string& utf8);
// The other direction: CP950 to UTF-8, each byte that starts no valid CP950 character becoming U+FFFD.
std::string AnsiToUtf8(const std::string& ansi);

// Header lists of both implementations. SetHeader adds or replaces (names compared without case);
// false for an empty name or one holding a colon or line break, or a value holding a line break.
// FindHeader gives the first of that name.
using HeaderList = std::vector<std::pair<std::string, std::string>>;
bool SetHeader(HeaderList& headers, const std::string& name, const std::string& value);
std::optional<std::string> FindHeader(const HeaderList& headers, const std::string& name);

// Longest body the object keeps; a larger response fails the request instead of filling memory.
inline constexpr std::size_t kMaxResponseBytes = 16u << 20;

} // namespace zelvo::platform
