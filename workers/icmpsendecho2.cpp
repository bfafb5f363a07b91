#include "workers/icmpsendecho2.h"

#include "platform/kernel.h"
#include "platform/mainloop.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <memory>

namespace zelvo {

namespace {

// One echo on its way, owned here until its completion has been handled.
struct EchoRequest {
  std::uint64_t run = 0;
  std::unique_ptr<platform::IcmpFile> handle;
  std::string sendTime;
  std::string host;
};

} // namespace

// Module-wide state of the probers; touched only on the window thread.
struct ProberTick {
  // The loop of the thread that created the timer; kept after the timer goes, so that stopping inside
  // a tick never ends the loop that runs it.
  std::shared_ptr<platform::MainLoop> loop;
  platform::MainLoop::TimerId timer = 0;
  unsigned generation = 0; // of the current timer
  std::vector<TICMPSENDECHO2*> running;
  std::list<std::unique_ptr<EchoRequest>> outstanding;
  std::uint64_t nextRun = 1;

  static ProberTick& get() {
    static ProberTick state;
    return state;
  }

  void createTimer(std::int32_t interval) {
    loop = platform::MainLoop::current();
    unsigned fired = ++generation;
    timer = loop->addTimer(std::max<std::int32_t>(interval, 1), [fired] { onTick(fired); });
  }

  void destroyTimer() {
    if (!timer) return;
    loop->removeTimer(timer);
    timer = 0;
  }

  static void onTick(unsigned fired) {
    ProberTick& self = get();
    // Echo completions run here; their reply events may stop, destroy and start probers.
    platform::SleepEx(1, true);
    if (!self.timer || fired != self.generation) return;
    for (std::size_t i = 0; i < self.running.size(); ++i)
      if (self.running[i]->running_) self.running[i]->Send();
  }

  void complete(EchoRequest* done, const platform::IcmpEchoReply& reply) {
    auto it = std::find_if(outstanding.begin(), outstanding.end(),
                           [done](const std::unique_ptr<EchoRequest>& r) { return r.get() == done; });
    if (it == outstanding.end()) return;
    std::unique_ptr<EchoRequest> request = std::move(*it);
    outstanding.erase(it);
    request->handle.reset();
    auto prober = std::find_if(running.begin(), running.end(),
                               [&](TICMPSENDECHO2* p) { return p->running_ && p->run_ == request->run; });
    if (prober == running.end()) return; // stopped or destroyed since it sent
    TICMPSENDECHO2* sender = *prober;
    // A copy: the handler may destroy its sender, and the handler with it.
    TICMPSENDECHO2::ReplyHandler handler = sender->OnReply;
    if (!handler) return;
    if (reply.status == platform::kIpSuccess)
      handler(sender, request->sendTime, reply.status, reply.roundTripMs, reply.dataSize, reply.ttl,
              request->host);
    else
      handler(sender, request->sendTime, reply.status, 0, 0, 0, request->host);
  }
};

TICMPSENDECHO2::TICMPSENDECHO2() : Payload(kPayloadSize) {
  static const char pattern[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  constexpr std::size_t patternSize = sizeof pattern - 1;
  for (std::size_t i = 0; i < kPayloadSize; ++i)
    Payload[i] = pattern[i % patternSize];
}

TICMPSENDECHO2::~TICMPSENDECHO2() {
  Stop();
}

void TICMPSENDECHO2::Start() {
  if (running_) return;
  std::optional<std::uint32_t> address = platform::InetAddr(Host);
  if (!address) return;
  Address = *address;
  ProberTick& tick = ProberTick::get();
  if (!tick.timer) tick.createTimer(Interval);
  run_ = tick.nextRun++;
  tick.running.push_back(this);
  running_ = true;
}

void TICMPSENDECHO2::Stop() {
  if (!running_) return;
  running_ = false;
  ProberTick& tick = ProberTick::get();
  tick.destroyTimer();
  std::erase(tick.running, this);
}

void TICMPSENDECHO2::Send() {
  auto request = std::make_unique<EchoRequest>();
  request->run = run_;
  request->sendTime = platform::LocalTimeText();
  request->host = Host;
  request->handle = platform::IcmpCreateFile(socketKind);
  openError_ = request->handle ? 0 : platform::IcmpCreateFileError();
  if (!request->handle) return; // nothing sent; the next tick tries again
  // Never read past the payload, whatever RequestSize says.
  std::size_t size = static_cast<std::size_t>(std::clamp<std::int32_t>(RequestSize, 0, kPayloadSize));
  platform::IpOptionInformation options;
  options.ttl = static_cast<std::uint8_t>(Ttl & 0xff);
  options.tos = 0;
  EchoRequest* sent = request.get();
  std::uint32_t status = platform::IcmpSendEcho2(
      *sent->handle, Address, Payload.data(), static_cast<std::uint16_t>(size), options, kTimeoutMs,
      [sent](const platform::IcmpEchoReply& reply) { ProberTick::get().complete(sent, reply); });
  if (status != platform::kErrorIoPending) return; // no completion follows
  ProberTick::get().outstanding.push_back(std::move(request));
}

std::vector<TICMPSENDECHO2*> TICMPSENDECHO2::runningProbers() {
  return ProberTick::get().running;
}

bool TICMPSENDECHO2::tickTimerExists() {
  return ProberTick::get().timer != 0;
}

} // namespace zelvo
