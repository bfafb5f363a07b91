// ICMP echo on icmp.dll, bound at run time. Completions are the system's own APCs: they run on the
// thread that started the echo while it sleeps alertably, which is what SleepEx below is.
#include "platform/icmp.h"

// Winsock before windows.h, which would otherwise pull in the old socket header.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <ipexport.h>

#include <atomic>
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

struct IcmpFile::State {
  HANDLE handle = INVALID_HANDLE_VALUE;
  IcmpSocketKind kind = IcmpSocketKind::Automatic;
  std::atomic<bool> closed{false};
};

namespace {
// One echo in flight: the reply buffer the system writes into and the caller's completion. It keeps
// the handle's state alive, so a handle closed meanwhile only drops the completion.
struct PendingEcho {
  std::shared_ptr<IcmpFile::State> state;
  std::vector<unsigned char> buffer;
  std::vector<unsigned char> request;
  IcmpCompletion completion;
};

void NTAPI echoDone(void* context, void*, ULONG) {
  std::unique_ptr<PendingEcho> echo(static_cast<PendingEcho*>(context));
  if (echo->state->closed.load()) return;
  IcmpEchoReply reply;
  DWORD count = icmpDll().parseReplies(echo->buffer.data(), static_cast<DWORD>(echo->buffer.size()));
  const auto* first = reinterpret_cast<const ICMP_ECHO_REPLY*>(echo->buffer.data());
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
  if (echo->completion) echo->completion(reply);
}
} // namespace

IcmpFile::IcmpFile(std::shared_ptr<State> state) : state_(std::move(state)) {}

IcmpFile::~IcmpFile() {
  state_->closed.store(true);
  icmpDll().close(state_->handle);
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
  auto echo = std::make_unique<PendingEcho>();
  echo->state = handle.state_;
  echo->completion = std::move(completion);
  if (size > 0 && data)
    echo->request.assign(static_cast<const unsigned char*>(data),
                         static_cast<const unsigned char*>(data) + size);
  // One reply entry, the echoed data, room for an error's quoted header and the I/O status block.
  echo->buffer.assign(sizeof(ICMP_ECHO_REPLY) + size + 8 + 2 * sizeof(void*) + 64, 0);
  IP_OPTION_INFORMATION native{};
  native.Ttl = options.ttl;
  native.Tos = options.tos;
  DWORD result = icmpDll().sendEcho2(handle.state_->handle, nullptr, &echoDone, echo.get(), destination,
                                     echo->request.empty() ? nullptr : echo->request.data(), size, &native,
                                     echo->buffer.data(), static_cast<DWORD>(echo->buffer.size()), timeoutMs);
  DWORD error = ::GetLastError();
  if (result == 0 && error == ERROR_IO_PENDING) {
    echo.release(); // owned by the completion now
    return kErrorIoPending;
  }
  // With a completion routine the call never finishes at once; anything else started nothing.
  return result == 0 ? (error ? static_cast<std::uint32_t>(error) : kIpGeneralFailure) : kIpGeneralFailure;
}

void SleepEx(int ms, bool alertable) {
  ::SleepEx(static_cast<DWORD>(ms > 0 ? ms : 0), alertable ? TRUE : FALSE);
}

std::optional<std::uint32_t> InetAddr(const std::string& text) {
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
  if (address.s_addr == INADDR_NONE) return std::nullopt;
  return address.s_addr;
}

} // namespace zelvo::platform
