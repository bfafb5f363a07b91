// Link facts on Linux: sysfs for an Ethernet card, nl80211 over generic netlink (libnl-genl-3) for a
// wireless one. Both are asked in the calling thread's network namespace.

#include "platform/linkfacts.h"

#include "platform/iphlpapi.h"

#include <cstdlib>
#include <memory>

#include <linux/nl80211.h>
#include <netlink/genl/ctrl.h>
#include <netlink/genl/genl.h>
#include <netlink/netlink.h>

namespace zelvo::platform {

// The parser reads the attribute numbers without the kernel header.
static_assert(NL80211_ATTR_STA_INFO == 21 && NL80211_ATTR_WIPHY_FREQ == 38 &&
              NL80211_ATTR_CHANNEL_WIDTH == 159);
static_assert(NL80211_STA_INFO_SIGNAL == 7 && NL80211_STA_INFO_TX_BITRATE == 8 &&
              NL80211_STA_INFO_SIGNAL_AVG == 13 && NL80211_STA_INFO_RX_BITRATE == 14);
static_assert(NL80211_RATE_INFO_BITRATE == 1 && NL80211_RATE_INFO_MCS == 2 &&
              NL80211_RATE_INFO_BITRATE32 == 5 && NL80211_RATE_INFO_VHT_MCS == 6 &&
              NL80211_RATE_INFO_HE_MCS == 13 && NL80211_RATE_INFO_EHT_MCS == 19 &&
              NL80211_RATE_INFO_320_MHZ_WIDTH == 18 && NL80211_RATE_INFO_160_MHZ_WIDTH == 10);
static_assert(NL80211_CHAN_WIDTH_320 == 13);

namespace {

struct SockFree {
  void operator()(nl_sock* s) const { nl_socket_free(s); }
};
struct MsgFree {
  void operator()(nl_msg* m) const { nlmsg_free(m); }
};

// Each answer's attributes, copied as they came.
int collect(nl_msg* msg, void* arg) {
  auto* answers = static_cast<std::vector<std::vector<std::uint8_t>>*>(arg);
  genlmsghdr* header = static_cast<genlmsghdr*>(nlmsg_data(nlmsg_hdr(msg)));
  const auto* data = reinterpret_cast<const std::uint8_t*>(genlmsg_attrdata(header, 0));
  answers->emplace_back(data, data + genlmsg_attrlen(header, 0));
  return NL_OK;
}

// One nl80211 request about the interface; every answer's attributes, none when nl80211 is absent.
std::vector<std::vector<std::uint8_t>> ask(nl_sock* sock, int family, std::uint8_t command, int flags,
                                           std::uint32_t ifIndex) {
  std::vector<std::vector<std::uint8_t>> answers;
  std::unique_ptr<nl_msg, MsgFree> msg(nlmsg_alloc());
  if (!msg || !genlmsg_put(msg.get(), NL_AUTO_PORT, NL_AUTO_SEQ, family, 0, flags, command, 0) ||
      nla_put_u32(msg.get(), NL80211_ATTR_IFINDEX, ifIndex) < 0)
    return answers;
  if (nl_socket_modify_cb(sock, NL_CB_VALID, NL_CB_CUSTOM, collect, &answers) < 0) return answers;
  if (nl_send_auto(sock, msg.get()) < 0) return answers;
  // An error answer (no such device, not connected) ends the exchange with what came before it.
  nl_recvmsgs_default(sock);
  return answers;
}

LinkFacts wirelessFacts(std::uint32_t ifIndex) {
  LinkFacts facts;
  facts.medium = LinkMedium::Wireless;
  std::unique_ptr<nl_sock, SockFree> sock(nl_socket_alloc());
  if (!sock || genl_connect(sock.get()) < 0) return facts;
  const int family = genl_ctrl_resolve(sock.get(), NL80211_GENL_NAME);
  if (family < 0) return facts;
  // A managed interface has one station, its access point; the first one is taken.
  auto stations = ask(sock.get(), family, NL80211_CMD_GET_STATION, NLM_F_DUMP, ifIndex);
  if (!stations.empty()) ParseNl80211Station(stations.front(), facts);
  for (const auto& answer : ask(sock.get(), family, NL80211_CMD_GET_INTERFACE, 0, ifIndex))
    ParseNl80211Interface(answer, facts);
  return facts;
}

} // namespace

LinkFacts ReadLinkFacts(std::uint32_t ifIndex, const std::string& ifName, std::uint32_t ifType) {
  if (ifType == kIfTypeEthernet) {
    // Tests stand a folder in for /sys: a virtual card's speed cannot be set.
    const char* root = std::getenv("ZELVO_TEST_LINK_SYSFS");
    return ReadEthernetSysfs(root ? root : "", ifName, ifIndex);
  }
  if (ifType == kIfTypeIeee80211) return wirelessFacts(ifIndex);
  return {};
}

} // namespace zelvo::platform
