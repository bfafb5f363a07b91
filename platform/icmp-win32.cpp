// ICMP echo on icmp.dll, bound at run time. Each echo signals an event of its own when it has finished;
// its completion runs only in the starting thread's SleepEx(.., true), in start order, as on Linux.
// The system's completion routines (APCs) are not used: they would run in any alertable wait of the
// thread, and an echo whose handle was closed would be freed only at the next one.
#include "platform/icmp.h"
#include "platform/win32detail.h"

// Winsock before windows.h, which would otherwise pull in the old socket header.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <ipexport.h>

#include <atomic>
#include <deque>
#include <thread>
#include <vector>

namespace zelvo::platform {

namespace {
using ApcRoutine = void(NTAPI*)(void* context, void* ioStatus, ULONG reserved);
using CreateFileFn = HANDLE(WINAPI*)();
using CloseHandleFn = BOOL(WINAPI*)(HANDLE);
using SendEcho2Fn = DWORD(WINAPI*)(HANDLE, HANDLE, ApcRoutine, void*, IPAddr, void*, WORD,
                                   IP_OPTION_INFORMATION*, void*, DWORD, DWORD);
using ParseRepliesFn = DWORD(WINAPI*)(void*, DWORD);

struct IcmpDll {
  CreateFileFn create = nullptr;
  CloseHandleFn close = nullptr;
  SendEcho2Fn sendEcho2 = nullptr;
  ParseRepliesFn parseReplies = nullptr;
  bool loaded() const { return create && close && sendEcho2 && parseReplies; }
};

template <typename Fn> Fn bind(HMODULE module, const char* name) {
  // GetProcAddress hands every entry point back as one generic type.
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Loaded once and kept for the process's life.
const IcmpDll& icmpDll() {
  static const IcmpDll dll = [] {
    IcmpDll out;
    HMODULE module = ::LoadLibraryA("icmp.dll");
    if (!module) return out;
    out.create = bind<CreateFileFn>(module, "IcmpCreateFile");
    out.close = bind<CloseHandleFn>(module, "IcmpCloseHandle");
    out.sendEcho2 = bind<SendEcho2Fn>(module, "IcmpSendEcho2");
    out.parseReplies = bind<ParseRepliesFn>(module, "IcmpParseReplies");
    return out;
  }();
  return dll;
}
} // namespace

namespace {
std::atomic<std::size_t> echoRecords{0};

// One echo in flight: the buffers the system writes into until the event is set, and the caller's
// completion.
struct Echo {
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::weak_ptr<IcmpFile::State> owner;
  std::vector<unsigned char> buffer;
  std::vector<unsigned char> request;
  IcmpCompletion completion;
  std::atomic<bool> closed{false};

  Echo() { ++echoRecords; }
  ~Echo() {
    if (event) ::CloseHandle(event);
    --echoRecords;
  }
  Echo(const Echo&) = delete;
  Echo& operator=(const Echo&) = delete;
  bool finished() const { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
};

// Closing a handle cancels its echo; the system is done with the buffers once the event is set, which
// it normally is by the time the close returns.
constexpr DWORD kCancelWaitMs = 200;

// The echoes this thread started and has not delivered, in start order. Each handle owns its echo;
// an entry whose handle was closed expires.
thread_local std::deque<std::weak_ptr<Echo>> startedEchoes;

IcmpEchoReply replyOf(Echo& echo) {
  IcmpEchoReply reply;
  DWORD count = icmpDll().parseReplies(echo.buffer.data(), static_cast<DWORD>(echo.buffer.size()));
  const auto* first = reinterpret_cast<const ICMP_ECHO_REPLY*>(echo.buffer.data());
  if (count > 0 && first->Status == IP_SUCCESS) {
    reply.status = kIpSuccess;
    reply.roundTripMs = first->RoundTripTime;
    reply.dataSize = first->DataSize;
    reply.ttl = first->Options.Ttl;
  } else {
    // No reply: the entry's status, or the parser's error when there is no entry at all.
    DWORD status = count > 0 ? first->Status : ::GetLastError();
    reply.status = status >= IP_STATUS_BASE ? status : kIpGeneralFailure;
  }
  return reply;
}
} // namespace

struct IcmpFile::State {
  HANDLE handle = INVALID_HANDLE_VALUE;
  IcmpSocketKind kind = IcmpSocketKind::Automatic;
  std::shared_ptr<Echo> pending; // started and not yet delivered
};

IcmpFile::IcmpFile(std::shared_ptr<State> state) : state_(std::move(state)) {}

IcmpFile::~IcmpFile() {
  std::shared_ptr<Echo> echo = std::move(state_->pending);
  if (echo) echo->closed = true;
  icmpDll().close(state_->handle);
  if (!echo || ::WaitForSingleObject(echo->event, kCancelWaitMs) == WAIT_OBJECT_0) return;
  // Not cancelled yet: the buffers must outlive the request, which ends at its time-out at the latest.
  std::thread([echo] { ::WaitForSingleObject(echo->event, INFINITE); }).detach();
}

// The system has no socket kinds; the handle reports the kind it was asked for.
IcmpSocketKind IcmpFile::kind() const {
  return state_->kind;
}

namespace {
thread_local std::uint32_t lastCreateError = 0;
} // namespace

std::unique_ptr<IcmpFile> IcmpCreateFile(IcmpSocketKind kind) {
  const IcmpDll& dll = icmpDll();
  if (!dll.loaded()) {
    lastCreateError = kErrorGenFailure;
    return nullptr;
  }
  HANDLE handle = dll.create();
  if (handle == INVALID_HANDLE_VALUE) {
    lastCreateError = ::GetLastError() == ERROR_ACCESS_DENIED ? kErrorAccessDenied : kErrorGenFailure;
    return nullptr;
  }
  lastCreateError = 0;
  auto state = std::make_shared<IcmpFile::State>();
  state->handle = handle;
  state->kind = kind;
  return std::unique_ptr<IcmpFile>(new IcmpFile(std::move(state)));
}

std::uint32_t IcmpCreateFileError() {
  return lastCreateError;
}

// icmp.dll needs no privilege: there is nothing to open ahead.
bool IcmpReserveRawSocket() {
  return true;
}

std::uint32_t IcmpSendEcho2(IcmpFile& handle, std::uint32_t destination, const void* data, std::uint16_t size,
                            const IpOptionInformation& options, std::uint32_t timeoutMs,
                            IcmpCompletion completion) {
  if (handle.state_->pending) return kIpGeneralFailure; // one echo at a time per handle
  auto echo = std::make_shared<Echo>();
  if (!echo->event) return kIpNoResources;
  echo->owner = handle.state_;
  echo->completion = std::move(completion);
  if (size > 0 && data)
    echo->request.assign(static_cast<const unsigned char*>(data),
                         static_cast<const unsigned char*>(data) + size);
  // One reply entry, the echoed data, room for an error's quoted header and the I/O status block.
  echo->buffer.assign(sizeof(ICMP_ECHO_REPLY) + size + 8 + 2 * sizeof(void*) + 64, 0);
  IP_OPTION_INFORMATION native{};
  native.Ttl = options.ttl;
  native.Tos = options.tos;
  DWORD result = icmpDll().sendEcho2(handle.state_->handle, echo->event, nullptr, nullptr, destination,
                                     echo->request.empty() ? nullptr : echo->request.data(), size, &native,
                                     echo->buffer.data(), static_cast<DWORD>(echo->buffer.size()), timeoutMs);
  DWORD error = ::GetLastError();
  if (result == 0 && error == ERROR_IO_PENDING) {
    handle.state_->pending = echo;
    startedEchoes.push_back(echo);
    return kErrorIoPending;
  }
  // With an event the call never finishes at once; anything else started nothing.
  return result == 0 ? (error ? static_cast<std::uint32_t>(error) : kIpGeneralFailure) : kIpGeneralFailure;
}

void SleepEx(int ms, bool alertable) {
  ::SleepEx(static_cast<DWORD>(ms > 0 ? ms : 0), FALSE);
  if (!alertable) return;
  // Take out every finished echo first: a completion may close handles or start new echoes.
  std::vector<std::shared_ptr<Echo>> ready;
  std::deque<std::weak_ptr<Echo>> still;
  for (auto& entry : startedEchoes) {
    std::shared_ptr<Echo> echo = entry.lock();
    if (!echo || echo->closed) continue;
    if (echo->finished())
      ready.push_back(std::move(echo));
    else
      still.push_back(entry);
  }
  startedEchoes.swap(still);
  for (auto& echo : ready) {
    std::shared_ptr<IcmpFile::State> owner = echo->owner.lock();
    if (!owner || echo->closed || owner->pending != echo) continue;
    owner->pending.reset();
    IcmpCompletion completion = std::move(echo->completion);
    if (completion) completion(replyOf(*echo));
  }
}

std::size_t IcmpEchoRecords() {
  return echoRecords.load();
}

} // namespace zelvo::platform
