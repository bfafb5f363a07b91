#pragma once
// Link facts of one network adapter: an Ethernet card's negotiated speed and duplex, a wireless link's
// rates, signal, band, channel width and standard. Read on request only (they cost a netlink round or a
// WLAN API call), never while a phase transfers. A fact the system does not give stays empty.
// Any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelvo::platform {

enum class LinkMedium { Unknown, Ethernet, Wireless };

struct LinkFacts {
  LinkMedium medium = LinkMedium::Unknown;
  std::optional<std::uint64_t> speedKbps; // Ethernet: negotiated speed
  std::optional<bool> fullDuplex;         // Ethernet
  std::optional<std::uint64_t> txKbps;    // wireless: rate of the frames last sent to the access point
  std::optional<std::uint64_t> rxKbps;    // wireless: rate of the frames last received from it
  std::optional<int> signalDbm;           // wireless
  std::optional<int> signalQuality;       // wireless, 0 to 100 where the system gives a quality
  std::optional<std::string> band;        // "2.4 GHz", "5 GHz", "6 GHz"
  std::optional<int> channelWidthMhz;
  std::optional<std::string> standard; // "802.11n", "802.11ac", ...
};

// The facts of the interface with this index, kernel name and interface type (the interface table's
// row): type 6 is read as Ethernet, type 71 as wireless; other types give no facts.
LinkFacts ReadLinkFacts(std::uint32_t ifIndex, const std::string& ifName, std::uint32_t ifType);

// Signal quality 0..100 as the WLAN API defines it: 0 is -100 dBm, 100 is -50 dBm, linear between.
int SignalQualityToDbm(int quality);
// The band of a centre frequency in MHz; none outside the three Wi-Fi bands.
std::optional<std::string> BandOfFrequency(std::uint32_t mhz);

// nl80211 answers, each the attributes that follow the generic netlink header. Facts found are set;
// false when the bytes are not a well-formed attribute stream.
bool ParseNl80211Station(const std::vector<std::uint8_t>& attributes, LinkFacts& facts);
bool ParseNl80211Interface(const std::vector<std::uint8_t>& attributes, LinkFacts& facts);

// Ethernet facts from sysfs under root ("" for the real /sys): <root>/sys/class/net/NAME/{speed,duplex},
// trusted only when NAME's ifindex there is this index (sysfs shows the namespace that mounted it).
LinkFacts ReadEthernetSysfs(const std::string& root, const std::string& ifName, std::uint32_t ifIndex);

} // namespace zelvo::platform
