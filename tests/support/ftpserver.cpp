#include "tests/support/ftpserver.h"

#include <algorithm>
#include <cstring>

namespace zelvo::test {

using platform::kNoSocket;
using platform::SocketHandle;

namespace {

// Network namespaces are Linux's; a Windows test passes none.
void enterNamespace(NetNamespace* ns) {
#ifdef _WIN32
  (void)ns;
#else
  if (ns) ns->enter();
#endif
}

bool sendAll(SocketHandle fd, const char* data, std::size_t size) {
  while (size > 0) {
    long n = platform::Send(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool reply(SocketHandle fd, const std::string& text) {
  std::string line = text + "\r\n";
  return sendAll(fd, line.data(), line.size());
}

} // namespace

// ---- FaultyFtpServer

FaultyFtpServer::FaultyFtpServer(Options options, NetNamespace* ns) : options_(options) {
  std::thread([&] {
    enterNamespace(ns);
    const bool never = options_.fault == Fault::NeverAccept;
    SocketHandle fd = platform::ListenTcp4(options_.address, options_.port, never ? 0 : 16, port_);
    if (fd == kNoSocket) return;
    if (never) {
      // One connection that is never accepted fills the queue; the kernel drops later SYNs.
      fillerFd_ = platform::ConnectTcp4(options_.address, port_);
      if (fillerFd_ == kNoSocket) {
        platform::CloseSocket(fd);
        return;
      }
    }
    listenFd_ = fd;
  }).join();
  if (listenFd_ != kNoSocket && options_.fault != Fault::NeverAccept)
    acceptThread_ = std::thread([this, ns] {
      enterNamespace(ns); // the sessions' passive data sockets are made in the namespace too
      acceptLoop();
    });
}

FaultyFtpServer::~FaultyFtpServer() {
  stopping_ = true;
  release();
  if (listenFd_ != kNoSocket) platform::ShutdownSocket(listenFd_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (SocketHandle fd : openFds_)
      platform::ShutdownSocket(fd);
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  for (auto& t : sessions_)
    t.join();
  if (listenFd_ != kNoSocket) platform::CloseSocket(listenFd_);
  if (fillerFd_ != kNoSocket) platform::CloseSocket(fillerFd_);
}

void FaultyFtpServer::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  release_ = true;
  released_.notify_all();
}

bool FaultyFtpServer::waitReleased() {
  std::unique_lock<std::mutex> lock(mutex_);
  released_.wait(lock, [&] { return release_; });
  return !stopping_.load();
}

std::vector<std::string> FaultyFtpServer::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

bool FaultyFtpServer::sawCommand(const std::string& prefix) const {
  for (const auto& c : commands())
    if (c.rfind(prefix, 0) == 0) return true;
  return false;
}

void FaultyFtpServer::note(const std::string& command) {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.push_back(command);
}

void FaultyFtpServer::acceptLoop() {
  // Waits in short steps: a shut-down listener does not end a blocked accept on every system.
  for (;;) {
    int error = 0;
    platform::WaitResult ready = platform::WaitReadable(listenFd_, 50, error);
    const bool idle = ready == platform::WaitResult::TimedOut || ready == platform::WaitResult::Interrupted;
    if (idle && !stopping_.load()) continue;
    SocketHandle fd = ready == platform::WaitResult::Ready ? platform::Accept(listenFd_) : kNoSocket;
    if (fd == kNoSocket || stopping_.load()) {
      if (fd != kNoSocket) platform::CloseSocket(fd);
      return;
    }
    ++connections_;
    std::lock_guard<std::mutex> lock(mutex_);
    openFds_.push_back(fd);
    sessions_.emplace_back([this, fd] { session(fd); });
  }
}

namespace {

// Sleeps up to ms, ending early when the stop flag is raised.
void pause(const std::atomic<bool>& stopping, int ms) {
  for (int waited = 0; waited < ms && !stopping.load(); waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

SocketHandle listenData(const std::string& address, int& port) {
  return platform::ListenTcp4(address, 0, 1, port);
}

SocketHandle acceptData(SocketHandle listenFd, const std::atomic<bool>& stopping) {
  for (int waited = 0; waited < 5000 && !stopping.load(); waited += 50) {
    int error = 0;
    if (platform::WaitReadable(listenFd, 50, error) == platform::WaitResult::Ready)
      return platform::Accept(listenFd);
  }
  return kNoSocket;
}

} // namespace

void FaultyFtpServer::session(SocketHandle fd) {
  auto forget = [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase(openFds_, fd);
  };
  if (options_.fault == Fault::SilentGreeting) {
    char c;
    while (!stopping_.load() && platform::Receive(fd, &c, 1) > 0) {
    }
    forget();
    platform::CloseSocket(fd);
    return;
  }
  pause(stopping_, options_.greetingDelayMs);
  reply(fd, "220 faulty server ready");
  SocketHandle pasvFd = kNoSocket;
  std::string buffer;
  bool clientClosed = false;
  while (!stopping_.load()) {
    auto eol = buffer.find("\r\n");
    if (eol == std::string::npos) {
      char chunk[512];
      long n = platform::Receive(fd, chunk, sizeof chunk);
      if (n <= 0) {
        clientClosed = !stopping_.load();
        break;
      }
      buffer.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    std::string line = buffer.substr(0, eol);
    buffer.erase(0, eol + 2);
    note(line);
    std::string verb = line.substr(0, line.find(' '));
    std::string arg = line.size() > verb.size() + 1 ? line.substr(verb.size() + 1) : "";
    if (verb == "USER") {
      reply(fd, "331 Please specify the password.");
    } else if (verb == "PASS") {
      if (options_.fault == Fault::SlowLogin) pause(stopping_, options_.loginDelayMs);
      reply(fd, "230 Login successful.");
    } else if (verb == "PWD") {
      reply(fd, "257 \"/\" is the current directory");
    } else if (verb == "TYPE") {
      reply(fd, "200 Switching to Binary mode.");
    } else if (verb == "CWD") {
      reply(fd, arg == "missing" ? "550 Failed to change directory." : "250 Directory successfully changed.");
    } else if (verb == "EPSV") {
      reply(fd, "500 Unknown command.");
    } else if (verb == "PASV") {
      int port = 0;
      if (pasvFd != kNoSocket) platform::CloseSocket(pasvFd);
      pasvFd = listenData(options_.address, port);
      std::string host = options_.address;
      std::replace(host.begin(), host.end(), '.', ',');
      reply(fd, "227 Entering Passive Mode (" + host + "," + std::to_string(port / 256) + "," +
                    std::to_string(port % 256) + ").");
    } else if (verb == "SIZE") {
      reply(fd,
            arg == "missing" ? "550 Could not get file size." : "213 " + std::to_string(options_.fileSize));
    } else if (verb == "REST") {
      reply(fd, "350 Restart position accepted (" + arg + ").");
    } else if (verb == "RETR" || verb == "STOR") {
      if (verb == "STOR" && options_.fault == Fault::RefuseStor) {
        reply(fd, "553 Could not create file.");
        continue;
      }
      SocketHandle data = pasvFd != kNoSocket ? acceptData(pasvFd, stopping_) : kNoSocket;
      if (pasvFd != kNoSocket) platform::CloseSocket(pasvFd);
      pasvFd = kNoSocket;
      if (data == kNoSocket) {
        reply(fd, "425 Failed to establish connection.");
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        openFds_.push_back(data);
      }
      reply(fd, "150 Opening BINARY mode data connection (" + std::to_string(options_.fileSize) + " bytes).");
      bool ok = true;
      if (verb == "RETR") {
        if (options_.fault == Fault::HoldData) ok = waitReleased();
        std::uint64_t limit = options_.fileSize;
        bool faulty = options_.fault == Fault::StallRetr || options_.fault == Fault::DropData;
        if (faulty) limit = std::min(limit, options_.stallAfterBytes);
        std::vector<char> block(64 << 10, 'z');
        for (std::uint64_t sent = 0; ok && sent < limit;) {
          std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), limit - sent));
          ok = sendAll(data, block.data(), n);
          sent += n;
        }
        if (options_.fault == Fault::StallRetr) {
          char c;
          while (!stopping_.load() && platform::Receive(data, &c, 1) > 0) {
          }
          ok = false;
        } else if (options_.fault == Fault::DropData) {
          platform::ResetOnClose(data);
          ok = false;
        }
      } else {
        char chunk[64 << 10];
        for (;;) {
          long n = platform::Receive(data, chunk, sizeof chunk);
          if (n <= 0) break;
          storedBytes_ += static_cast<std::uint64_t>(n);
          for (long i = 0; i < n; ++i)
            if (chunk[i] != '*') onlyAsterisks_ = false;
        }
        ++completedStores_;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        std::erase(openFds_, data);
      }
      platform::CloseSocket(data);
      reply(fd, ok ? "226 Transfer complete." : "426 Connection closed; transfer aborted.");
    } else if (verb == "ABOR") {
      reply(fd, "226 No transfer to abort.");
    } else if (verb == "QUIT") {
      reply(fd, "221 Goodbye.");
      break;
    } else {
      reply(fd, "500 Unknown command.");
    }
  }
  if (clientClosed) ++closedByClient_;
  if (pasvFd != kNoSocket) platform::CloseSocket(pasvFd);
  forget();
  platform::CloseSocket(fd);
}

} // namespace zelvo::test
