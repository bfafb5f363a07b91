#include "frontend/diagnosis.h"

#include "platform/cp950.h"

#include <cstdio>

namespace zelvo {

namespace {

// More on the adapter than the transfer carried. TCP/IP and Ethernet headers add about 5 % to a
// full-size segment's payload (1448 of 1514 bytes) and the reverse direction's acknowledgements a
// little more on a loopback; beyond 15 % something else used the adapter.
constexpr double kOtherTrafficRatio = 1.15;

// TCP over Ethernet carries at most 1448 payload bytes in 1538 bytes of wire time (preamble, header,
// FCS and gap; IP and TCP headers with timestamps): 94 % of the link rate. Within 10 % of that, the
// link is full. A half-duplex link loses much of its rate to collisions and turnarounds: there a
// transfer at 40 % of the rate already fills it.
constexpr double kEthernetFull = 0.85;
constexpr double kHalfDuplexFull = 0.40;

// TCP goodput over Wi-Fi is a fraction of the PHY rate the driver reports: the MAC's contention,
// preambles, acknowledgements and block-ack exchanges take the rest. Jun, Peddabachagari and Sichitiu
// ("Theoretical maximum throughput of IEEE 802.11 and its applications", IEEE NCA 2003) put the
// ceiling of 802.11a/g at about half of 54 Mbit/s; 802.11n/ac frame aggregation lifts it, and
// measured TCP goodput is commonly 50-70 % of the PHY rate. We take 60 %, the middle, and call the
// link full from 80 % of that.
constexpr double kWifiGoodput = 0.60;
constexpr double kWifiFull = 0.80;
// Below about -67 dBm (the usual design edge of a cell for fast, real-time use) rate adaptation steps
// down and retries grow; from -70 dBm the link, not the line, is the likely limit whatever rate the
// driver last reported.
constexpr int kWeakSignalDbm = -70;

// The machine's processor was saturated for the phase's whole length, so the program's own work may
// have been the limit.
constexpr double kBusyProcessor = 90.0;

std::string format(const char* f, double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, f, v);
  return buffer;
}

std::string mbit(double kbps) {
  return format("%.1f", kbps / 1000) + " Mbit/s";
}

std::string cp950(const std::string& utf8) {
  return platform::Utf8ToCp950(utf8).value_or(utf8);
}

// The rate of the Wi-Fi link in the direction: the rate frames arrive at for a download, the rate they
// leave at for an upload; the other one where only that is known.
std::optional<double> wifiRate(const platform::LinkFacts& link, bool download) {
  const std::optional<std::uint64_t>& first = download ? link.rxKbps : link.txKbps;
  const std::optional<std::uint64_t>& second = download ? link.txKbps : link.rxKbps;
  if (first) return static_cast<double>(*first);
  if (second) return static_cast<double>(*second);
  return std::nullopt;
}

std::optional<int> signalOf(const platform::LinkFacts& link) {
  if (link.signalDbm) return link.signalDbm;
  if (link.signalQuality) return platform::SignalQualityToDbm(*link.signalQuality);
  return std::nullopt;
}

std::string linkEvidence(const platform::LinkFacts& link, bool download) {
  if (link.medium == platform::LinkMedium::Ethernet) {
    if (!link.speedKbps) return "乙太網路連結速率不明";
    std::string text = "乙太網路連結 " + mbit(static_cast<double>(*link.speedKbps));
    if (link.fullDuplex) text += *link.fullDuplex ? " 全雙工" : " 半雙工";
    return text;
  }
  if (link.medium == platform::LinkMedium::Wireless) {
    std::string text = "無線網路";
    if (link.standard) text += " " + *link.standard;
    if (std::optional<double> rate = wifiRate(link, download))
      text += std::string(download ? " 接收 " : " 傳送 ") + mbit(*rate) + "（實際約 " +
              mbit(WifiPracticalKbps(*rate)) + "）";
    else
      text += " 速率不明";
    if (std::optional<int> signal = signalOf(link)) text += "，訊號 " + std::to_string(*signal) + " dBm";
    return text;
  }
  return "連結資料不明";
}

std::string figuresEvidence(const DirectionFigures& f) {
  std::string text;
  if (f.nicOverFtp) text += "；網卡/傳輸 " + format("%.2f", *f.nicOverFtp);
  if (f.cpuPercent) text += "；處理器 " + format("%.0f", *f.cpuPercent) + "%";
  if (f.retransmits) text += "；重傳 " + std::to_string(*f.retransmits) + " 段";
  if (f.echoLoss && *f.echoLoss > 0) text += "；負載時回應遺失 " + format("%.1f", *f.echoLoss * 100) + "%";
  if (f.latencyIncreaseMs) text += "；負載延遲增加 " + format("%.1f", *f.latencyIncreaseMs) + " ms";
  return text;
}

} // namespace

double WifiPracticalKbps(double phyKbps) {
  return phyKbps * kWifiGoodput;
}

Diagnosis Diagnose(const platform::LinkFacts& link, const DirectionFigures& f) {
  Diagnosis d;
  const std::string figures = figuresEvidence(f);
  if (!f.measuredKbps || *f.measuredKbps <= 0) {
    d.limit = "unknown";
    d.evidence = cp950("沒有測得速率；" + linkEvidence(link, f.download) + figures);
    d.advice = cp950("這個方向沒有測得速率，請確認網路連線後再測一次。");
    return d;
  }
  const double measured = *f.measuredKbps;
  const std::string head = "測得 " + mbit(measured) + "；" + linkEvidence(link, f.download);
  auto verdict = [&](const char* limit, const std::string& why, const char* advice) {
    d.limit = limit;
    d.evidence = cp950(head + (why.empty() ? "" : "；" + why) + figures);
    d.advice = cp950(advice);
    return d;
  };

  if (f.nicOverFtp && *f.nicOverFtp >= kOtherTrafficRatio)
    return verdict("other_traffic",
                   "網卡上的流量比測速傳輸多 " + format("%.0f", (*f.nicOverFtp - 1) * 100) + "%",
                   "測速時這張網路卡上還有其他傳輸，請暫停其他下載、串流或雲端同步後再測一次。");

  if (link.medium == platform::LinkMedium::Ethernet && link.speedKbps) {
    const double speed = static_cast<double>(*link.speedKbps);
    const bool half = link.fullDuplex && !*link.fullDuplex;
    if (measured >= kEthernetFull * speed || (half && measured >= kHalfDuplexFull * speed))
      return verdict("ethernet_link", "達連結速率的 " + format("%.0f", measured / speed * 100) + "%",
                     half ? "網路卡以半雙工連線，請檢查網路線與交換器的連接埠設定，讓它以全雙工連線。"
                          : "網路卡的連結速率限制了結果，請改用較快的網路埠、交換器或 Cat 5e 以上的網路線。");
  }

  if (link.medium == platform::LinkMedium::Wireless) {
    const std::optional<double> rate = wifiRate(link, f.download);
    const std::optional<int> signal = signalOf(link);
    if (rate && measured >= kWifiFull * WifiPracticalKbps(*rate))
      return verdict(
          "wifi_link",
          "達無線連結實際可用速率的 " + format("%.0f", measured / WifiPracticalKbps(*rate) * 100) + "%",
          "無線網路的速率限制了結果，請改用 5 GHz 或 6 GHz 頻段、較新的無線基地台，或改用網路線測試。");
    if (signal && *signal <= kWeakSignalDbm)
      return verdict("wifi_link", "訊號弱於 " + std::to_string(kWeakSignalDbm) + " dBm",
                     "無線訊號偏弱，請靠近無線基地台、移除兩者之間的障礙物，或改用網路線測試。");
  }

  if (f.cpuPercent && *f.cpuPercent >= kBusyProcessor)
    return verdict("computer", "處理器幾乎滿載", "電腦的處理器在測速時忙碌，請關閉其他程式後再測一次。");

  // The line is named only when every other cause could be ruled out.
  const bool linkKnown = (link.medium == platform::LinkMedium::Ethernet && link.speedKbps) ||
                         (link.medium == platform::LinkMedium::Wireless && wifiRate(link, f.download));
  if (!linkKnown || !f.nicOverFtp || !f.cpuPercent)
    return verdict("unknown", "",
                   "資料不足，無法判斷瓶頸所在；可用網路線直接連接數據機，關閉其他程式後再測一次。");
  return verdict("line", "電腦、網路卡與區域網路都還有餘裕",
                 "瓶頸在網際網路線路，若速率明顯低於申租的速率，請與 Zelvo 客服聯絡。");
}

std::string LimitText(const std::string& limit) {
  static const struct {
    const char* name;
    const char* text;
  } texts[] = {{"line", "網際網路線路"}, {"ethernet_link", "乙太網路連結"}, {"wifi_link", "無線網路連結"},
               {"computer", "電腦"},     {"other_traffic", "其他網路傳輸"}, {"unknown", "無法判斷"}};
  for (const auto& t : texts)
    if (limit == t.name) return cp950(t.text);
  return limit;
}

} // namespace zelvo
