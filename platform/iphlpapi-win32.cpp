// IP Helper on the system's own calls; the rows are copied field by field into the stand-in's shapes.
#include "platform/iphlpapi.h"
#include "platform/win32detail.h"

// Winsock before windows.h, which would otherwise pull in the old socket header.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

namespace zelvo::platform {

namespace {
// Winsock must be started before the name calls; once per process is enough.
void startWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

std::string wideToUtf8(const wchar_t* text) {
  if (!text) return {};
  std::u16string units;
  for (const wchar_t* p = text; *p; ++p)
    units.push_back(static_cast<char16_t>(*p));
  std::wstring wide(units.begin(), units.end());
  int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size - 1));
  return out;
}

IfRow rowOf(const MIB_IFROW& in) {
  IfRow out;
  out.index = in.dwIndex;
  out.type = in.dwType;
  out.mtu = in.dwMtu;
  out.speed = in.dwSpeed;
  out.physAddrLen = std::min<DWORD>(in.dwPhysAddrLen, static_cast<DWORD>(out.physAddr.size()));
  std::memcpy(out.physAddr.data(), in.bPhysAddr, out.physAddrLen);
  out.adminStatus = in.dwAdminStatus;
  out.operStatus = static_cast<std::uint32_t>(in.dwOperStatus);
  out.lastChange = in.dwLastChange;
  out.inOctets = in.dwInOctets;
  out.inUcastPkts = in.dwInUcastPkts;
  out.inNUcastPkts = in.dwInNUcastPkts;
  out.inDiscards = in.dwInDiscards;
  out.inErrors = in.dwInErrors;
  out.inUnknownProtos = in.dwInUnknownProtos;
  out.outOctets = in.dwOutOctets;
  out.outUcastPkts = in.dwOutUcastPkts;
  out.outNUcastPkts = in.dwOutNUcastPkts;
  out.outDiscards = in.dwOutDiscards;
  out.outErrors = in.dwOutErrors;
  out.outQLen = in.dwOutQLen;
  out.descrLen = std::min<DWORD>(in.dwDescrLen, static_cast<DWORD>(out.descr.size()));
  std::memcpy(out.descr.data(), in.bDescr, out.descrLen);
  out.ifName = wideToUtf8(in.wszName);
  return out;
}

IpAddrString addressOf(const IP_ADDR_STRING& in) {
  return {in.IpAddress.String, in.IpMask.String};
}

// The list calls fill a caller's buffer and ask for a larger one when it is too small; the list can
// grow between the two calls, so ask again a few times.
template <typename Call>
std::uint32_t withBuffer(std::vector<unsigned char>& buffer, ULONG initial, Call call) {
  ULONG size = initial;
  for (int attempt = 0; attempt < 4; ++attempt) {
    buffer.assign(size, 0);
    ULONG result = call(buffer.data(), &size);
    if (result != ERROR_BUFFER_OVERFLOW && result != ERROR_INSUFFICIENT_BUFFER) return result;
  }
  return ERROR_INSUFFICIENT_BUFFER;
}
} // namespace

static_assert(offsetof(IP_ADAPTER_INFO, LeaseObtained) == kNativeLeaseObtainedOffset);

// An Ethernet-typed adapter may be a wireless one: many wireless drivers present themselves as
// Ethernet, so the connection profile goes by the rate there.
bool WirelessLinksAreTyped() {
  return false;
}

AdapterLeaseTimes LeaseTimesOf(const void* nativeAdapterInfo) {
  // Read at the system's layout, not through the header's time_t, which mingw-w64 makes 64-bit on
  // i686 with the UCRT or 64-bit time (the structure would then be 648 bytes and the times wrong).
  const auto* at = static_cast<const unsigned char*>(nativeAdapterInfo) + kNativeLeaseObtainedOffset;
  AdapterLeaseTimes out;
  if constexpr (sizeof(void*) == 4) {
    std::int32_t obtained = 0, expires = 0;
    std::memcpy(&obtained, at, 4);
    std::memcpy(&expires, at + 4, 4);
    out.obtained = obtained;
    out.expires = expires;
  } else {
    std::memcpy(&out.obtained, at, 8);
    std::memcpy(&out.expires, at + 8, 8);
  }
  return out;
}

std::uint32_t GetIfTable(std::vector<IfRow>& rows) {
  std::vector<unsigned char> buffer;
  std::uint32_t result = withBuffer(buffer, sizeof(MIB_IFTABLE), [](unsigned char* data, ULONG* size) {
    return ::GetIfTable(reinterpret_cast<MIB_IFTABLE*>(data), size, TRUE);
  });
  if (result != NO_ERROR) return result;
  const auto* table = reinterpret_cast<const MIB_IFTABLE*>(buffer.data());
  rows.clear();
  for (DWORD i = 0; i < table->dwNumEntries; ++i)
    rows.push_back(rowOf(table->table[i]));
  return kNoError;
}

std::uint32_t GetIfEntry(IfRow& row) {
  MIB_IFROW native{};
  native.dwIndex = row.index;
  DWORD result = ::GetIfEntry(&native);
  if (result != NO_ERROR) return result;
  row = rowOf(native);
  return kNoError;
}

std::uint32_t GetBestInterface(std::uint32_t destination, std::uint32_t& index) {
  DWORD found = 0;
  DWORD result = ::GetBestInterface(destination, &found);
  if (result == NO_ERROR) index = found;
  return result;
}

std::uint32_t GetNumberOfInterfaces(std::uint32_t& count) {
  DWORD found = 0;
  DWORD result = ::GetNumberOfInterfaces(&found);
  if (result == NO_ERROR) count = found;
  return result;
}

std::uint32_t GetFriendlyIfIndex(std::uint32_t index) {
  return ::GetFriendlyIfIndex(index);
}

std::uint32_t GetAdaptersInfo(std::vector<AdapterEntry>& adapters) {
  std::vector<unsigned char> buffer;
  std::uint32_t result = withBuffer(buffer, 16 * 1024, [](unsigned char* data, ULONG* size) {
    return ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(data), size);
  });
  if (result != NO_ERROR) return result;
  adapters.clear();
  for (auto* in = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data()); in; in = in->Next) {
    AdapterEntry out;
    out.adapterName = in->AdapterName;
    out.description = in->Description;
    out.addressLength = std::min<UINT>(in->AddressLength, static_cast<UINT>(out.address.size()));
    std::memcpy(out.address.data(), in->Address, out.addressLength);
    out.index = in->Index;
    out.type = in->Type;
    out.dhcpEnabled = in->DhcpEnabled != 0;
    for (const IP_ADDR_STRING* a = &in->IpAddressList; a; a = a->Next)
      out.ipAddresses.push_back(addressOf(*a));
    for (const IP_ADDR_STRING* a = &in->GatewayList; a; a = a->Next)
      out.gateways.push_back(addressOf(*a));
    out.dhcpServer = addressOf(in->DhcpServer);
    out.haveWins = in->HaveWins != 0;
    out.primaryWins = addressOf(in->PrimaryWinsServer);
    out.secondaryWins = addressOf(in->SecondaryWinsServer);
    AdapterLeaseTimes lease = LeaseTimesOf(in);
    out.leaseObtained = static_cast<std::time_t>(lease.obtained);
    out.leaseExpires = static_cast<std::time_t>(lease.expires);
    adapters.push_back(std::move(out));
  }
  return kNoError;
}

std::uint32_t GetAdaptersAddresses(std::vector<AdapterAddressEntry>& entries) {
  std::vector<unsigned char> buffer;
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  std::uint32_t result = withBuffer(buffer, 16 * 1024, [flags](unsigned char* data, ULONG* size) {
    return ::GetAdaptersAddresses(AF_INET, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(data),
                                  size);
  });
  if (result != NO_ERROR) return result;
  entries.clear();
  for (auto* in = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); in; in = in->Next) {
    AdapterAddressEntry out;
    out.ifIndex = in->IfIndex;
    for (const wchar_t* p = in->FriendlyName; p && *p; ++p)
      out.friendlyName.push_back(static_cast<char16_t>(*p));
    entries.push_back(std::move(out));
  }
  return kNoError;
}

std::uint32_t inet_addr(const std::string& dotted) {
  return ::inet_addr(dotted.c_str());
}

std::string inet_ntoa(std::uint32_t address) {
  in_addr in{};
  in.s_addr = address;
  const char* text = ::inet_ntoa(in);
  return text ? text : "";
}

std::optional<std::uint32_t> ResolveIpv4(const std::string& host) {
  startWinsock();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
  std::unique_ptr<addrinfo, void(WSAAPI*)(addrinfo*)> list(found, ::freeaddrinfo);
  for (addrinfo* entry = found; entry; entry = entry->ai_next)
    if (entry->ai_family == AF_INET && entry->ai_addr)
      return reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
  return std::nullopt;
}

} // namespace zelvo::platform
