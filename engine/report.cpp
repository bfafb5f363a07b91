#include "engine/report.h"

#include "engine/md5.h"
#include "engine/workthread.h"
#include "platform/cp950.h"
#include "platform/winhttp.h"
#include "sysinfo/systemprofile.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <random>

namespace zelvo {

namespace {

// printf into a string of any length.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<std::size_t>(n));
  }
  va_end(args);
  return out;
}

int HexValue(char c) {
  // Digits by +208, anything else by +201, modulo 256: 'A'..'F' give 10..15.
  auto code = static_cast<unsigned char>(c);
  return (c >= '0' && c <= '9') ? (code + 208) % 256 : (code + 201) % 256;
}

// Its own generator under a lock: the C library's rand keeps its state per thread on Windows, where a
// seed given on one thread would leave another thread's numbers the same in every run.
int RandomNumber() {
  static std::mutex lock;
  static std::mt19937 generator(std::random_device{}() ^ static_cast<unsigned>(std::time(nullptr)));
  std::lock_guard<std::mutex> guard(lock);
  return static_cast<int>(generator() % 10000);
}

} // namespace

std::string ReportCookieValue(const std::string& sessionCookie) {
  std::size_t eq = sessionCookie.find('=');
  if (eq == std::string::npos) return {};
  std::string rest = sessionCookie.substr(eq + 1);
  std::size_t end = rest.find_first_of(" \r\n");
  return end == std::string::npos ? rest : rest.substr(0, end);
}

std::string ComposeReportQuery(CWorkThread& engine, const std::string& authCode) {
  TestRecord& r = engine.record();
  const TestParameters& p = engine.testParameters;

  return Format("App_ver=%s&DL_FTP_speed=%.02f&UL_FTP_speed=%.02f&DL_NIC_speed=%.02f&UL_NIC_speed=%.02f"
                "&User_os=%s&User_antivir=%s&User_nic=%s&user_nic_rate=%ld&User_pppoe=%s&User_localip=%s"
                "&User_net_parameter=%s&DL_FTP_speed_interval=%s&UL_FTP_speed_interval=%s"
                "&DL_NIC_speed_interval=%s&UL_NIC_speed_interval=%s&RTT=%s&Tcp_session=%s&User_Proxy=%s"
                "&CPU=%s&CPU_usage=%d&Memory=%s&HD_FreeSpace=%s&Power=%s&error_code=%s&auth_code=%s",
                r.appVersion.c_str(), r.downloadSpeed, r.uploadSpeed, engine.dlNicSpeed, engine.ulNicSpeed,
                r.osCaption.c_str(), r.antivirus.c_str(), r.nicDescription.c_str(),
                static_cast<long>(r.nicRateKbps), r.connectionType.c_str(), r.localIp.c_str(),
                r.netParameters.c_str(), engine.dlFtpSamples.c_str(), engine.ulFtpSamples.c_str(),
                engine.dlNicSamples.c_str(), engine.ulNicSamples.c_str(), r.pingSummary.c_str(),
                Format("%d,%d", p.ul_session, p.dl_session).c_str(), r.proxyServer.c_str(), r.cpuName.c_str(),
                static_cast<int>(CpuUsageValue(r, engine.osIsNt6)), MemoryValue(r).c_str(),
                HdFreeSpaceValue(r).c_str(), r.powerStatus.c_str(),
                Format("%d", static_cast<int>(r.errorCode.load())).c_str(), authCode.c_str());
}

std::string ReportText(int r1, int r2, const std::string& query) {
  return Format("Null=%d%d", r1, r2) + "&" + query;
}

std::vector<std::uint8_t> ToUtf16Bytes(const std::string& text) {
  std::optional<std::string> utf16 =
      platform::ConvertCharset(platform::AnsiToUtf8(text), "UTF-8", "UTF-16LE");
  if (!utf16) return {};
  return std::vector<std::uint8_t>(utf16->begin(), utf16->end());
}

std::string HexUpper(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return hex;
}

std::string PickKey(const std::string& value) {
  std::string key;
  for (std::size_t position = 4; position <= value.size(); position += 3)
    key.push_back(value[position - 1]);
  return key;
}

std::string ScrambleHex(const std::string& hex, const std::string& key) {
  const std::size_t L = key.size();
  if (L == 0) return {};
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(hex.size());
  for (std::size_t i = 1; 2 * i <= hex.size(); ++i) {
    std::size_t k = i % L == 0 ? L : i % L;
    int kc = static_cast<unsigned char>(key[k - 1]);
    int b = (HexValue(hex[2 * i - 2]) * 16 + HexValue(hex[2 * i - 1])) % 256;
    b ^= kc;
    out.push_back(kDigits[(b >> 4) & 15]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

std::string MakeAuthCode(const std::string& address, const std::string& value) {
  std::string t;
  for (char c : address) {
    if (c == '.')
      t.push_back('A');
    else if (c == '0')
      t.push_back('K');
    else if (c >= '1' && c <= '9')
      t.push_back(static_cast<char>('B' + (c - '1')));
    else
      t.push_back(c);
  }
  t += Format("%d", static_cast<int>(address.size()));
  t += value;
  return MD5Hex(t);
}

void CWorkThread::Report() {
  TestRecord& r = record();
  const std::string value = ReportCookieValue(sessionCookie);
  const int r1 = RandomNumber();
  const int r2 = RandomNumber();
  std::string text;
  {
    // The window's profile may be replacing these values for the next run.
    std::lock_guard<std::mutex> lock(r.profileMutex);
    text = ReportText(r1, r2, ComposeReportQuery(*this, MakeAuthCode(r.localIp, value)));
  }
  const std::string key = PickKey(value);

  Post(kMsgReporting, 0, 0);
  if (key.empty()) {
    // No key, no report: an unscrambled one would hand the results to anyone on the path.
    r.errorCode = kReportNotAccepted;
    Post(kMsgResult, 2, 0);
    return;
  }
  const std::string body = "code=" + ScrambleHex(HexUpper(ToUtf16Bytes(text)), key);
  HttpResult answer = HttpRequest(decodeLetterPairs(config().reportPostUrl), false, body, true, false);
  // Given up while posting: the window has moved on and the record may already serve another run.
  if (Terminated()) return;
  if (!answer.success) {
    r.errorCode = kReportNotAccepted;
    Post(kMsgResult, 2, 0);
    return;
  }
  ParsedDocument doc = ParseDocument(answer.response);
  std::string resultUrl = LookupValue("result_url", doc);
  if (resultUrl.empty()) {
    r.errorCode = kReportNotAccepted;
    Post(kMsgResult, 2, 0);
    return;
  }
  r.resultSerial = LookupValue("flags", doc);
  r.resultTime = LookupValue("itime", doc);
  Post(kMsgResult, 1, NewText(resultUrl));
}

} // namespace zelvo
