// The parts of the link facts that need no system call: nl80211's attribute stream read byte by byte
// (so that recorded answers are read by the same code on any host) and the unit conversions.

#include "platform/linkfacts.h"

#include <cstring>
#include <fstream>

namespace zelvo::platform {

namespace {

// nl80211's attribute numbers (stable kernel ABI; the Linux build checks them against its header).
enum : std::uint16_t {
  kAttrStaInfo = 21,
  kAttrWiphyFreq = 38,
  kAttrChannelWidth = 159,
  kStaSignal = 7,
  kStaTxBitrate = 8,
  kStaSignalAvg = 13,
  kStaRxBitrate = 14,
  kRateBitrate = 1,
  kRateMcs = 2,
  kRate40 = 3,
  kRateBitrate32 = 5,
  kRateVhtMcs = 6,
  kRate80 = 8,
  kRate80p80 = 9,
  kRate160 = 10,
  kRateHeMcs = 13,
  kRate320 = 18,
  kRateEhtMcs = 19,
};

struct Attribute {
  std::uint16_t type = 0;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// Splits a stream of netlink attributes (length, type, payload padded to four bytes); false when a
// length runs past the end or is shorter than its own header.
bool splitAttributes(const std::uint8_t* data, std::size_t size, std::vector<Attribute>& out) {
  std::size_t at = 0;
  while (at + 4 <= size) {
    std::uint16_t length = 0, type = 0;
    std::memcpy(&length, data + at, 2);
    std::memcpy(&type, data + at + 2, 2);
    if (length < 4 || at + length > size) return false;
    // The top two bits flag nesting and byte order, not the attribute.
    out.push_back(
        {static_cast<std::uint16_t>(type & 0x3FFF), data + at + 4, static_cast<std::size_t>(length - 4)});
    at += (static_cast<std::size_t>(length) + 3) & ~std::size_t{3};
  }
  return at >= size;
}

template <typename T> std::optional<T> scalar(const Attribute& a) {
  if (a.size < sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, a.data, sizeof(T));
  return value;
}

struct RateInfo {
  std::optional<std::uint64_t> kbps;
  std::optional<std::string> standard;
  std::optional<int> widthMhz;
};

bool parseRate(const Attribute& nested, RateInfo& rate) {
  std::vector<Attribute> parts;
  if (!splitAttributes(nested.data, nested.size, parts)) return false;
  std::optional<std::uint64_t> bitrate16, bitrate32;
  int width = 20;
  for (const Attribute& a : parts) {
    switch (a.type) {
    case kRateBitrate:
      if (auto v = scalar<std::uint16_t>(a)) bitrate16 = *v;
      break;
    case kRateBitrate32:
      if (auto v = scalar<std::uint32_t>(a)) bitrate32 = *v;
      break;
    // Newest first wins: a frame carries one of these.
    case kRateMcs:
      if (!rate.standard) rate.standard = "802.11n";
      break;
    case kRateVhtMcs:
      rate.standard = "802.11ac";
      break;
    case kRateHeMcs:
      rate.standard = "802.11ax";
      break;
    case kRateEhtMcs:
      rate.standard = "802.11be";
      break;
    case kRate40:
      width = 40;
      break;
    case kRate80:
      width = 80;
      break;
    case kRate80p80:
    case kRate160:
      width = 160;
      break;
    case kRate320:
      width = 320;
      break;
    default:
      break;
    }
  }
  // Both in units of 100 kbit/s; the 16-bit one saturates above 6.5 Gbit/s.
  if (bitrate32 && *bitrate32 > 0)
    rate.kbps = *bitrate32 * 100;
  else if (bitrate16 && *bitrate16 > 0)
    rate.kbps = *bitrate16 * 100;
  if (rate.standard) rate.widthMhz = width;
  return true;
}

int standardRank(const std::optional<std::string>& standard) {
  static const char* const order[] = {"802.11n", "802.11ac", "802.11ax", "802.11be"};
  for (int i = 0; i < 4; ++i)
    if (standard && *standard == order[i]) return i + 1;
  return 0;
}

} // namespace

int SignalQualityToDbm(int quality) {
  if (quality < 0) quality = 0;
  if (quality > 100) quality = 100;
  return quality / 2 - 100;
}

std::optional<std::string> BandOfFrequency(std::uint32_t mhz) {
  if (mhz >= 2400 && mhz < 2500) return "2.4 GHz";
  if (mhz >= 5150 && mhz < 5925) return "5 GHz";
  if (mhz >= 5925 && mhz <= 7125) return "6 GHz";
  return std::nullopt;
}

bool ParseNl80211Station(const std::vector<std::uint8_t>& attributes, LinkFacts& facts) {
  std::vector<Attribute> top;
  if (!splitAttributes(attributes.data(), attributes.size(), top)) return false;
  for (const Attribute& station : top) {
    if (station.type != kAttrStaInfo) continue;
    std::vector<Attribute> info;
    if (!splitAttributes(station.data, station.size, info)) return false;
    std::optional<int> signal, average;
    for (const Attribute& a : info) {
      RateInfo rate;
      switch (a.type) {
      case kStaSignal:
        if (auto v = scalar<std::int8_t>(a)) signal = *v;
        break;
      case kStaSignalAvg:
        if (auto v = scalar<std::int8_t>(a)) average = *v;
        break;
      case kStaTxBitrate:
      case kStaRxBitrate:
        if (!parseRate(a, rate)) return false;
        (a.type == kStaTxBitrate ? facts.txKbps : facts.rxKbps) = rate.kbps;
        if (rate.standard && standardRank(rate.standard) > standardRank(facts.standard))
          facts.standard = rate.standard;
        if (rate.widthMhz && !facts.channelWidthMhz) facts.channelWidthMhz = rate.widthMhz;
        break;
      default:
        break;
      }
    }
    // The average is steadier than the last frame's signal; 0 means the driver has none.
    if (average && *average != 0)
      facts.signalDbm = average;
    else if (signal && *signal != 0)
      facts.signalDbm = signal;
    facts.medium = LinkMedium::Wireless;
  }
  return true;
}

bool ParseNl80211Interface(const std::vector<std::uint8_t>& attributes, LinkFacts& facts) {
  std::vector<Attribute> top;
  if (!splitAttributes(attributes.data(), attributes.size(), top)) return false;
  for (const Attribute& a : top) {
    if (a.type == kAttrWiphyFreq) {
      if (auto mhz = scalar<std::uint32_t>(a)) facts.band = BandOfFrequency(*mhz);
    } else if (a.type == kAttrChannelWidth) {
      // nl80211_chan_width: the channel's own width, which the rate flags only hint at.
      static const int widths[] = {20, 20, 40, 80, 160, 160, 5, 10};
      if (auto w = scalar<std::uint32_t>(a)) {
        if (*w < sizeof widths / sizeof widths[0])
          facts.channelWidthMhz = widths[*w];
        else if (*w == 13)
          facts.channelWidthMhz = 320;
      }
    }
  }
  return true;
}

LinkFacts ReadEthernetSysfs(const std::string& root, const std::string& ifName, std::uint32_t ifIndex) {
  LinkFacts facts;
  facts.medium = LinkMedium::Ethernet;
  if (ifName.empty() || ifName.find('/') != std::string::npos || ifName == "." || ifName == "..")
    return facts;
  const std::string base = root + "/sys/class/net/" + ifName + "/";
  std::ifstream index(base + "ifindex");
  long long seen = -1;
  if (!(index >> seen) || seen != static_cast<long long>(ifIndex)) return facts;
  // -1 (or an error on reading) while the link is down or the driver does not know.
  std::ifstream speed(base + "speed");
  long long mbit = 0;
  if ((speed >> mbit) && mbit > 0 && mbit < 0xFFFFFFFFLL)
    facts.speedKbps = static_cast<std::uint64_t>(mbit) * 1000;
  std::ifstream duplex(base + "duplex");
  std::string word;
  if (duplex >> word) {
    if (word == "full") facts.fullDuplex = true;
    if (word == "half") facts.fullDuplex = false;
  }
  return facts;
}

} // namespace zelvo::platform
