// The diagnosis rules over the cases they tell apart: each row a link, the run's figures and the verdict
// with the figures its evidence must show.

#include "frontend/diagnosis.h"
#include "platform/cp950.h"

#include <gtest/gtest.h>

#include <vector>

namespace zelvo::test {
namespace {

platform::LinkFacts ethernet(std::uint64_t mbit, std::optional<bool> full = true) {
  platform::LinkFacts l;
  l.medium = platform::LinkMedium::Ethernet;
  l.speedKbps = mbit * 1000;
  l.fullDuplex = full;
  return l;
}

platform::LinkFacts wifi(std::uint64_t rxMbit, std::uint64_t txMbit, int dbm) {
  platform::LinkFacts l;
  l.medium = platform::LinkMedium::Wireless;
  l.rxKbps = rxMbit * 1000;
  l.txKbps = txMbit * 1000;
  l.signalDbm = dbm;
  l.standard = "802.11ac";
  return l;
}

DirectionFigures figures(double mbit, double nicOverFtp, double cpu) {
  DirectionFigures f;
  f.measuredKbps = mbit * 1000;
  f.nicOverFtp = nicOverFtp;
  f.cpuPercent = cpu;
  f.retransmits = 12;
  f.latencyIncreaseMs = 8.5;
  f.echoLoss = 0;
  return f;
}

struct Case {
  const char* name;
  platform::LinkFacts link;
  DirectionFigures figures;
  const char* limit;
  std::vector<const char*> evidence; // UTF-8 parts the evidence shows
};

TEST(Diagnosis, EachCaseGetsItsVerdictWithItsEvidence) {
  DirectionFigures upload = figures(180, 1.04, 35);
  upload.download = false;
  DirectionFigures nothing;
  DirectionFigures noCounters = figures(400, 1.0, 20);
  noCounters.nicOverFtp.reset();
  const std::vector<Case> cases = {
      {"100 Mbit/s card measured at 94",
       ethernet(100),
       figures(94, 1.04, 20),
       "ethernet_link",
       {"測得 94.0 Mbit/s", "乙太網路連結 100.0 Mbit/s 全雙工", "94%"}},
      // A 500 Mbit/s line: the link's practical 520 Mbit/s is not reached, but the signal is weak.
      {"866 Mbit/s Wi-Fi at -72 dBm measured at 180",
       wifi(866, 780, -72),
       figures(180, 1.04, 30),
       "wifi_link",
       {"802.11ac 接收 866.0 Mbit/s（實際約 519.6 Mbit/s）", "訊號 -72 dBm"}},
      {"Wi-Fi carrying what its rate allows",
       wifi(300, 300, -50),
       figures(170, 1.03, 30),
       "wifi_link",
       {"實際可用速率的 94%"}},
      {"the upload goes by the transmit rate",
       wifi(866, 150, -50),
       upload,
       "wifi_link",
       {"傳送 150.0 Mbit/s"}},
      {"busy processor", ethernet(1000), figures(300, 1.05, 97), "computer", {"處理器 97%"}},
      {"30 % other traffic",
       ethernet(1000),
       figures(300, 1.30, 20),
       "other_traffic",
       {"網卡/傳輸 1.30", "多 30%"}},
      {"other traffic outranks a full link", ethernet(100), figures(70, 1.35, 20), "other_traffic", {}},
      {"clean gigabit line on a 2.5 GbE card",
       ethernet(2500),
       figures(940, 1.04, 25),
       "line",
       {"測得 940.0 Mbit/s", "重傳 12 段", "負載延遲增加 8.5 ms"}},
      {"strong Wi-Fi well below its rate", wifi(866, 866, -50), figures(100, 1.04, 20), "line", {}},
      {"half duplex at half its rate",
       ethernet(100, false),
       figures(45, 1.04, 20),
       "ethernet_link",
       {"半雙工"}},
      {"no link facts", platform::LinkFacts{}, figures(94, 1.04, 20), "unknown", {"連結資料不明"}},
      {"card speed unknown", ethernet(0), figures(94, 1.04, 20), "unknown", {}},
      {"no adapter counters", ethernet(1000), noCounters, "unknown", {}},
      {"nothing measured", ethernet(1000), nothing, "unknown", {"沒有測得速率"}},
  };
  for (const Case& c : cases) {
    platform::LinkFacts link = c.link;
    if (link.speedKbps == 0u) link.speedKbps.reset();
    const Diagnosis d = Diagnose(link, c.figures);
    EXPECT_EQ(d.limit, c.limit) << c.name;
    const std::string evidence = platform::Cp950ToUtf8(d.evidence).value_or("");
    for (const char* part : c.evidence)
      EXPECT_NE(evidence.find(part), std::string::npos) << c.name << ": " << part << " in " << evidence;
    // One sentence of advice, in the program's code page.
    const std::string advice = platform::Cp950ToUtf8(d.advice).value_or("");
    EXPECT_FALSE(advice.empty()) << c.name;
    EXPECT_EQ(advice.find("。"), advice.size() - std::string("。").size()) << c.name << ": " << advice;
  }
}

TEST(Diagnosis, SignalQualityStandsInForAMissingSignal) {
  platform::LinkFacts link = wifi(866, 866, 0);
  link.signalDbm.reset();
  link.signalQuality = 50; // -75 dBm
  EXPECT_EQ(Diagnose(link, figures(100, 1.0, 10)).limit, "wifi_link");
  link.signalQuality = 100;
  EXPECT_EQ(Diagnose(link, figures(100, 1.0, 10)).limit, "line");
}

} // namespace
} // namespace zelvo::test
