#pragma once
// TICMPSENDECHO2: the ICMP echo prober. A running prober sends one echo to its Host at every tick of
// one timer shared by all probers (a timer of the main loop of the thread that started it, the
// window thread); replies are handled at the start of a later tick and raise OnReply.
// Every operation is called on the window thread, and OnReply runs there.

#include "platform/icmp.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelvo {

class TICMPSENDECHO2 {
public:
  // Runs on the window thread, inside a tick. Status 0 is a reply; for any other status the round
  // trip, data size and TTL are 0. The handler may stop and destroy the sender.
  using ReplyHandler = std::function<void(TICMPSENDECHO2* sender, const std::string& sendTime,
                                          std::uint32_t status, std::uint32_t roundTripMs,
                                          std::uint16_t dataSize, std::uint8_t ttl, const std::string& host)>;

  static constexpr std::size_t kPayloadSize = 1500;
  static constexpr std::uint32_t kTimeoutMs = 2000;

  TICMPSENDECHO2();
  ~TICMPSENDECHO2(); // stops a running prober first
  TICMPSENDECHO2(const TICMPSENDECHO2&) = delete;
  TICMPSENDECHO2& operator=(const TICMPSENDECHO2&) = delete;

  std::uint32_t Address = 0; // network order, parsed from Host by Start
  std::vector<char> Payload; // kPayloadSize bytes of "0123...XYZ" repeated
  std::int32_t RequestSize = 32;
  std::int32_t Ttl = 255; // the low byte is every request's time to live
  ReplyHandler OnReply;
  std::string Host;            // dotted IPv4 address
  std::int32_t Interval = 500; // tick period in ms, taken by the Start that creates the timer
  // Which ICMP socket the echoes use; the automatic choice suits the program.
  platform::IcmpSocketKind socketKind = platform::IcmpSocketKind::Automatic;

  bool Running() const { return running_; }
  // Why the last tick sent nothing: the error of the ICMP handle that could not be opened
  // (platform::kErrorAccessDenied where the process may open no ICMP socket at all); 0 once one was.
  std::uint32_t LastOpenError() const { return openError_; }

  // Does nothing when running, or when Host is not a dotted IPv4 address.
  void Start();
  // Stops this prober and destroys the shared tick timer, which stops the ticks of every prober
  // until some prober starts again. Completions of echoes sent before are dropped.
  void Stop();

  // The probers that are running, in the order they started.
  static std::vector<TICMPSENDECHO2*> runningProbers();
  // Whether the shared tick timer exists.
  static bool tickTimerExists();

private:
  friend struct ProberTick;
  void Send();

  bool running_ = false;
  std::uint32_t openError_ = 0;
  std::uint64_t run_ = 0; // tells this start's echoes from those of an earlier one
};

} // namespace zelvo
