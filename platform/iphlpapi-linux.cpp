// IP Helper stand-in on rtnetlink (libnl-route-3) and the ethtool ioctls. Everything is asked in the
// calling thread's network namespace: sysfs is only trusted when its ifindex file agrees with the link,
// since /sys shows the namespace that mounted it.

#include "platform/iphlpapi.h"

#include "platform/cp950.h"

// Before the kernel headers, which step aside for it.
#include <net/if.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <linux/ethtool.h>
#include <linux/if_arp.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <map>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/route.h>

namespace zelvo::platform {

namespace {

struct SockFree {
  void operator()(nl_sock* s) const { nl_socket_free(s); }
};
struct CacheFree {
  void operator()(nl_cache* c) const { nl_cache_free(c); }
};
struct LinkPut {
  void operator()(rtnl_link* l) const { rtnl_link_put(l); }
};
struct MsgFree {
  void operator()(nl_msg* m) const { nlmsg_free(m); }
};
using SockPtr = std::unique_ptr<nl_sock, SockFree>;
using CachePtr = std::unique_ptr<nl_cache, CacheFree>;

class Fd {
public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

// A routing socket of its own per call: libnl sockets are not shared between threads.
SockPtr connectRoute() {
  SockPtr sock(nl_socket_alloc());
  if (!sock) return nullptr;
  if (nl_connect(sock.get(), NETLINK_ROUTE) < 0) return nullptr;
  return sock;
}

std::uint32_t low32(std::uint64_t value) {
  return static_cast<std::uint32_t>(value & 0xFFFFFFFFu);
}

bool ethtool(int fd, const std::string& name, void* data) {
  ifreq request{};
  if (name.size() >= IFNAMSIZ) return false;
  std::memcpy(request.ifr_name, name.c_str(), name.size());
  request.ifr_data = static_cast<char*>(data);
  return ::ioctl(fd, SIOCETHTOOL, &request) == 0;
}

std::mutex rootMutex;
std::string fileRoot; // empty: the real /proc and /sys

std::string kernelFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(rootMutex);
  return fileRoot + path;
}

// Mbit/s to bit/s, saturated at 2^32 - 1 as the 32-bit row field holds it.
std::uint32_t bitsOf(std::uint64_t mbit) {
  std::uint64_t bits = mbit * 1000000u;
  return bits > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(bits);
}

// sysfs entry of the link, only when it belongs to this namespace's link of that index.
bool sysfsIsOurs(const std::string& name, int index) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return false;
  std::ifstream in(kernelFile("/sys/class/net/" + name + "/ifindex"));
  int seen = -1;
  return (in >> seen) && seen == index;
}

// Link speed in bit/s; 0 when the driver does not know it. sysfs holds the driver's figure; the
// ioctl asks it where this namespace's sysfs is not mounted.
std::uint32_t linkSpeed(int fd, const std::string& name, int index) {
  if (sysfsIsOurs(name, index)) {
    std::ifstream in(kernelFile("/sys/class/net/" + name + "/speed"));
    long long mbit = 0;
    if (in >> mbit) return mbit > 0 && mbit < 0xFFFFFFFFLL ? bitsOf(static_cast<std::uint64_t>(mbit)) : 0;
  }
  ethtool_cmd cmd{};
  cmd.cmd = ETHTOOL_GSET;
  if (fd < 0 || !ethtool(fd, name, &cmd)) return 0;
  std::uint32_t mbit = ethtool_cmd_speed(&cmd);
  if (mbit == 0 || mbit == static_cast<std::uint32_t>(SPEED_UNKNOWN) || mbit == 0xFFFF) return 0;
  return bitsOf(mbit);
}

std::string driverName(int fd, const std::string& name) {
  ethtool_drvinfo info{};
  info.cmd = ETHTOOL_GDRVINFO;
  if (fd < 0 || !ethtool(fd, name, &info)) return {};
  return std::string(info.driver, strnlen(info.driver, sizeof info.driver));
}

// The kernel marks wireless links in sysfs, whatever speed their driver reports.
bool isWireless(const std::string& name, int index) {
  if (!sysfsIsOurs(name, index)) return false;
  std::string base = kernelFile("/sys/class/net/" + name);
  if (::access((base + "/wireless").c_str(), F_OK) == 0 || ::access((base + "/phy80211").c_str(), F_OK) == 0)
    return true;
  std::ifstream uevent(base + "/uevent");
  std::string line;
  while (std::getline(uevent, line))
    if (line == "DEVTYPE=wlan") return true;
  return false;
}

// The Ethernet device that carries a kernel-mode PPPoE session (rows "Id Address Device"). The table
// does not say which ppp unit a session belongs to: the first session's device is taken.
std::string pppoeCarrier() {
  std::ifstream in(kernelFile("/proc/net/pppoe"));
  std::string line;
  if (!std::getline(in, line)) return {}; // the heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, address, device;
    if (fields >> id >> address >> device) return device;
  }
  return {};
}

std::uint32_t interfaceType(unsigned arptype, bool wireless) {
  switch (arptype) {
  case ARPHRD_ETHER:
    return wireless ? kIfTypeIeee80211 : kIfTypeEthernet;
  case ARPHRD_PPP:
    return kIfTypePpp;
  case ARPHRD_LOOPBACK:
    return kIfTypeLoopback;
  case ARPHRD_SLIP:
  case ARPHRD_CSLIP:
    return kIfTypeSlip;
  case ARPHRD_IEEE80211:
  case ARPHRD_IEEE80211_PRISM:
  case ARPHRD_IEEE80211_RADIOTAP:
    return kIfTypeIeee80211;
  case ARPHRD_TUNNEL:
  case ARPHRD_TUNNEL6:
  case ARPHRD_SIT:
  case ARPHRD_IPGRE:
  case ARPHRD_NONE:
    return kIfTypeTunnel;
  default:
    return kIfTypeOther;
  }
}

// The Windows operational states: a disabled link is non-operational, an enabled one without carrier
// disconnected, one waiting for authentication connecting.
std::uint32_t operationalStatus(unsigned flags, std::uint8_t operstate) {
  if (!(flags & IFF_UP)) return 0;
  switch (operstate) {
  case IF_OPER_UP:
    return 5;
  case IF_OPER_DORMANT:
  case IF_OPER_TESTING:
    return 3;
  case IF_OPER_NOTPRESENT:
    return 0;
  case IF_OPER_UNKNOWN: // loopback and many virtual links: the carrier flag decides
    return (flags & IFF_RUNNING) ? 5 : 2;
  default:
    return 2;
  }
}

// Type and speed as Windows gives them: wireless links typed as such; a PPP link at the speed of the
// Ethernet device that carries its PPPoE session (a PPP link has none of its own). True for wireless.
bool typeAndSpeed(IfRow& row, unsigned arptype, int ethFd) {
  int index = static_cast<int>(row.index);
  bool wireless = isWireless(row.ifName, index);
  row.type = interfaceType(arptype, wireless);
  row.speed = 0;
  if (row.type == kIfTypePpp) {
    std::string carrier = pppoeCarrier();
    unsigned carrierIndex = carrier.empty() ? 0 : ::if_nametoindex(carrier.c_str());
    if (carrierIndex != 0) row.speed = linkSpeed(ethFd, carrier, static_cast<int>(carrierIndex));
  } else if (row.type != kIfTypeLoopback) {
    row.speed = linkSpeed(ethFd, row.ifName, index);
  }
  return wireless;
}

void fillRow(rtnl_link* link, int ethFd, IfRow& row) {
  row = IfRow{};
  int index = rtnl_link_get_ifindex(link);
  const char* name = rtnl_link_get_name(link);
  row.ifName = name ? name : "";
  row.index = static_cast<std::uint32_t>(index);
  bool wireless = typeAndSpeed(row, rtnl_link_get_arptype(link), ethFd);
  row.mtu = rtnl_link_get_mtu(link);
  if (nl_addr* addr = rtnl_link_get_addr(link)) {
    std::size_t len = std::min<std::size_t>(nl_addr_get_len(addr), row.physAddr.size());
    std::memcpy(row.physAddr.data(), nl_addr_get_binary_addr(addr), len);
    row.physAddrLen = static_cast<std::uint32_t>(len);
  }
  unsigned flags = rtnl_link_get_flags(link);
  row.adminStatus = (flags & IFF_UP) ? 1 : 2;
  row.operStatus = operationalStatus(flags, rtnl_link_get_operstate(link));
  // Linux keeps no time of the last state change, only a count; lastChange stays 0.

  auto stat = [link](rtnl_link_stat_id_t id) { return rtnl_link_get_stat(link, id); };
  std::uint64_t rxPackets = stat(RTNL_LINK_RX_PACKETS), multicast = stat(RTNL_LINK_MULTICAST);
  row.inOctets = low32(stat(RTNL_LINK_RX_BYTES));
  row.inUcastPkts = low32(rxPackets >= multicast ? rxPackets - multicast : rxPackets);
  row.inNUcastPkts = low32(multicast);
  row.inDiscards = low32(stat(RTNL_LINK_RX_DROPPED));
  row.inErrors = low32(stat(RTNL_LINK_RX_ERRORS));
  row.inUnknownProtos = low32(stat(RTNL_LINK_RX_NOHANDLER));
  row.outOctets = low32(stat(RTNL_LINK_TX_BYTES));
  row.outUcastPkts = low32(stat(RTNL_LINK_TX_PACKETS)); // Linux counts no sent multicast apart
  row.outDiscards = low32(stat(RTNL_LINK_TX_DROPPED));
  row.outErrors = low32(stat(RTNL_LINK_TX_ERRORS));

  // The description: the administrator's alias when set, else the name with its driver or kind.
  std::string description;
  const char* alias = rtnl_link_get_ifalias(link);
  if (alias && *alias) {
    description = alias;
  } else {
    description = row.ifName;
    if (wireless) description += " Wi-Fi";
    std::string label = row.type == kIfTypeLoopback ? std::string("loopback") : driverName(ethFd, row.ifName);
    if (label.empty()) {
      const char* kind = rtnl_link_get_type(link);
      if (kind) label = kind;
    }
    if (!label.empty()) description += " (" + label + ")";
  }
  row.descrLen = static_cast<std::uint32_t>(std::min(description.size(), row.descr.size()));
  std::memcpy(row.descr.data(), description.data(), row.descrLen);
}

std::string dottedMask(int prefix) {
  std::uint32_t host = prefix <= 0 ? 0 : (prefix >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - prefix)) - 1));
  return inet_ntoa(htonl(host));
}

std::string dottedAddress(nl_addr* addr) {
  if (!addr || nl_addr_get_family(addr) != AF_INET || nl_addr_get_len(addr) != 4) return "0.0.0.0";
  std::uint32_t value;
  std::memcpy(&value, nl_addr_get_binary_addr(addr), 4);
  return inet_ntoa(value);
}

// Hundredths of a second since boot (the clock of the kernel's address cache info) to wall time.
std::time_t wallTimeOf(std::uint32_t hundredths) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  double sinceBoot = static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
  return std::time(nullptr) - static_cast<std::time_t>(sinceBoot - hundredths / 100.0);
}

// The DHCP server of a lease that systemd-networkd keeps; empty when none is known.
std::string dhcpServerOf(int index) {
  std::ifstream lease("/run/systemd/netif/leases/" + std::to_string(index));
  std::string line;
  while (std::getline(lease, line))
    if (line.rfind("SERVER_ADDRESS=", 0) == 0) return line.substr(15);
  return {};
}

} // namespace

void SetKernelFileRoot(const std::string& root) {
  std::lock_guard<std::mutex> lock(rootMutex);
  fileRoot = root;
}

bool WirelessLinksAreTyped() {
  return true; // the kernel marks wireless links; they come out as type 71
}

void SetLinkTypeAndSpeed(IfRow& row, unsigned arptype) {
  Fd ethFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  typeAndSpeed(row, arptype, ethFd.get());
}

std::uint32_t GetIfTable(std::vector<IfRow>& rows) {
  SockPtr sock = connectRoute();
  if (!sock) return kErrorCannotRead;
  nl_cache* raw = nullptr;
  if (rtnl_link_alloc_cache(sock.get(), AF_UNSPEC, &raw) < 0) return kErrorCannotRead;
  CachePtr cache(raw);
  Fd ethFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  std::vector<IfRow> out;
  out.reserve(static_cast<std::size_t>(nl_cache_nitems(cache.get())));
  for (nl_object* obj = nl_cache_get_first(cache.get()); obj; obj = nl_cache_get_next(obj)) {
    out.emplace_back();
    fillRow(reinterpret_cast<rtnl_link*>(obj), ethFd.get(), out.back());
  }
  std::sort(out.begin(), out.end(), [](const IfRow& a, const IfRow& b) { return a.index < b.index; });
  rows = std::move(out);
  return kNoError;
}

std::uint32_t GetIfEntry(IfRow& row) {
  SockPtr sock = connectRoute();
  if (!sock) return kErrorCannotRead;
  rtnl_link* raw = nullptr;
  if (row.index == 0 || row.index > 0x7FFFFFFFu ||
      rtnl_link_get_kernel(sock.get(), static_cast<int>(row.index), nullptr, &raw) < 0 || !raw)
    return kErrorNotFound;
  std::unique_ptr<rtnl_link, LinkPut> link(raw);
  Fd ethFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  fillRow(link.get(), ethFd.get(), row);
  return kNoError;
}

namespace {
int routeReply(nl_msg* msg, void* arg) {
  auto* index = static_cast<int*>(arg);
  nlattr* attrs[RTA_MAX + 1] = {};
  if (nlmsg_parse(nlmsg_hdr(msg), sizeof(rtmsg), attrs, RTA_MAX, nullptr) < 0) return NL_SKIP;
  if (attrs[RTA_OIF]) *index = static_cast<int>(nla_get_u32(attrs[RTA_OIF]));
  return NL_OK;
}
} // namespace

std::uint32_t GetBestInterface(std::uint32_t destination, std::uint32_t& index) {
  SockPtr sock = connectRoute();
  if (!sock) return kErrorCannotRead;
  nl_socket_disable_auto_ack(sock.get());
  std::unique_ptr<nl_msg, MsgFree> msg(nlmsg_alloc_simple(RTM_GETROUTE, NLM_F_REQUEST));
  if (!msg) return kErrorCannotRead;
  rtmsg header{};
  header.rtm_family = AF_INET;
  header.rtm_dst_len = 32;
  if (nlmsg_append(msg.get(), &header, sizeof header, NLMSG_ALIGNTO) < 0 ||
      nla_put_u32(msg.get(), RTA_DST, destination) < 0)
    return kErrorCannotRead;
  int found = -1;
  nl_socket_modify_cb(sock.get(), NL_CB_VALID, NL_CB_CUSTOM, routeReply, &found);
  if (nl_send_auto(sock.get(), msg.get()) < 0) return kErrorCannotRead;
  // An unreachable destination comes back as an error message.
  if (nl_recvmsgs_default(sock.get()) < 0 || found <= 0) return kErrorNotFound;
  index = static_cast<std::uint32_t>(found);
  return kNoError;
}

std::uint32_t GetNumberOfInterfaces(std::uint32_t& count) {
  SockPtr sock = connectRoute();
  if (!sock) return kErrorCannotRead;
  nl_cache* raw = nullptr;
  if (rtnl_link_alloc_cache(sock.get(), AF_UNSPEC, &raw) < 0) return kErrorCannotRead;
  CachePtr cache(raw);
  count = static_cast<std::uint32_t>(nl_cache_nitems(cache.get()));
  return kNoError;
}

std::uint32_t GetFriendlyIfIndex(std::uint32_t index) {
  return index;
}

std::uint32_t GetAdaptersInfo(std::vector<AdapterEntry>& adapters) {
  SockPtr sock = connectRoute();
  if (!sock) return kErrorCannotRead;
  nl_cache *links = nullptr, *addrs = nullptr, *routes = nullptr;
  if (rtnl_link_alloc_cache(sock.get(), AF_UNSPEC, &links) < 0) return kErrorCannotRead;
  CachePtr linkCache(links);
  if (rtnl_addr_alloc_cache(sock.get(), &addrs) < 0) return kErrorCannotRead;
  CachePtr addrCache(addrs);
  if (rtnl_route_alloc_cache(sock.get(), AF_INET, 0, &routes) < 0) return kErrorCannotRead;
  CachePtr routeCache(routes);

  // Default gateways of the main table, per interface, in table order.
  std::map<int, std::vector<IpAddrString>> gateways;
  for (nl_object* obj = nl_cache_get_first(routes); obj; obj = nl_cache_get_next(obj)) {
    auto* route = reinterpret_cast<rtnl_route*>(obj);
    nl_addr* dst = rtnl_route_get_dst(route);
    if (rtnl_route_get_table(route) != RT_TABLE_MAIN || (dst && nl_addr_get_prefixlen(dst) != 0)) continue;
    for (int i = 0; i < rtnl_route_get_nnexthops(route); ++i) {
      rtnl_nexthop* hop = rtnl_route_nexthop_n(route, i);
      nl_addr* via = rtnl_route_nh_get_gateway(hop);
      if (via) gateways[rtnl_route_nh_get_ifindex(hop)].push_back({dottedAddress(via), "255.255.255.255"});
    }
  }

  Fd ethFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  std::vector<AdapterEntry> out;
  for (nl_object* obj = nl_cache_get_first(links); obj; obj = nl_cache_get_next(obj)) {
    auto* link = reinterpret_cast<rtnl_link*>(obj);
    // The loopback is listed too (as a loopback adapter): it carries the route when the service runs on
    // this machine, and the local address is taken from the route's adapter.
    IfRow row;
    fillRow(link, ethFd.get(), row);
    AdapterEntry entry;
    entry.adapterName = row.ifName;
    entry.description.assign(row.descr.data(), row.descrLen);
    entry.addressLength = row.physAddrLen;
    entry.address = row.physAddr;
    entry.index = row.index;
    entry.type = row.type;
    int index = static_cast<int>(row.index);
    for (nl_object* a = nl_cache_get_first(addrs); a; a = nl_cache_get_next(a)) {
      auto* addr = reinterpret_cast<rtnl_addr*>(a);
      if (rtnl_addr_get_family(addr) != AF_INET || rtnl_addr_get_ifindex(addr) != index) continue;
      entry.ipAddresses.push_back(
          {dottedAddress(rtnl_addr_get_local(addr)), dottedMask(rtnl_addr_get_prefixlen(addr))});
      // An address with a finite lifetime was leased, not configured.
      std::uint32_t valid = rtnl_addr_get_valid_lifetime(addr);
      if (!entry.dhcpEnabled && !(rtnl_addr_get_flags(addr) & IFA_F_PERMANENT) && valid != 0xFFFFFFFFu) {
        entry.dhcpEnabled = true;
        entry.leaseObtained = wallTimeOf(rtnl_addr_get_last_update_time(addr));
        entry.leaseExpires = std::time(nullptr) + static_cast<std::time_t>(valid);
      }
    }
    if (entry.dhcpEnabled) entry.dhcpServer.address = dhcpServerOf(index);
    if (auto it = gateways.find(index); it != gateways.end()) entry.gateways = it->second;
    out.push_back(std::move(entry));
  }
  std::sort(out.begin(), out.end(),
            [](const AdapterEntry& a, const AdapterEntry& b) { return a.index < b.index; });
  adapters = std::move(out);
  return kNoError;
}

std::uint32_t GetAdaptersAddresses(std::vector<AdapterAddressEntry>& entries) {
  SockPtr sock = connectRoute();
  if (!sock) return kErrorCannotRead;
  nl_cache* raw = nullptr;
  if (rtnl_link_alloc_cache(sock.get(), AF_UNSPEC, &raw) < 0) return kErrorCannotRead;
  CachePtr cache(raw);
  std::vector<AdapterAddressEntry> out;
  for (nl_object* obj = nl_cache_get_first(cache.get()); obj; obj = nl_cache_get_next(obj)) {
    auto* link = reinterpret_cast<rtnl_link*>(obj);
    const char* name = rtnl_link_get_name(link);
    AdapterAddressEntry entry;
    entry.ifIndex = static_cast<std::uint32_t>(rtnl_link_get_ifindex(link));
    entry.friendlyName = Utf8ToUtf16(name ? name : "").value_or(u"");
    out.push_back(std::move(entry));
  }
  entries = std::move(out);
  return kNoError;
}

std::uint32_t inet_addr(const std::string& dotted) {
  return ::inet_addr(dotted.c_str());
}

std::string inet_ntoa(std::uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr in{};
  in.s_addr = address;
  ::inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

std::optional<std::uint32_t> ResolveIpv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
  for (addrinfo* entry = found; entry; entry = entry->ai_next)
    if (entry->ai_family == AF_INET && entry->ai_addr)
      return reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
  return std::nullopt;
}

std::uint32_t ReceiveQueueCount(std::uint32_t index) {
  char name[IF_NAMESIZE] = {};
  if (!::if_indextoname(index, name)) return 1;
  Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ethtool_channels channels{};
  channels.cmd = ETHTOOL_GCHANNELS;
  if (fd.get() >= 0 && ethtool(fd.get(), name, &channels)) {
    std::uint32_t count = channels.rx_count + channels.combined_count;
    if (count > 0) return count;
  }
  // Drivers without channel control still show their queues in sysfs.
  if (!sysfsIsOurs(name, static_cast<int>(index))) return 1;
  std::uint32_t queues = 0;
  for (std::uint32_t i = 0; i < 4096; ++i) {
    if (::access(
            kernelFile("/sys/class/net/" + std::string(name) + "/queues/rx-" + std::to_string(i)).c_str(),
            F_OK) != 0)
      break;
    ++queues;
  }
  return queues > 0 ? queues : 1;
}

} // namespace zelvo::platform
