#include "tests/support/ftpserver.h"

#include "tests/support/support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zelvo::test {

void runIn(NetNamespace* ns, const std::function<void()>& fn) {
  std::thread t([&] {
    if (ns) ns->enter();
    fn();
  });
  t.join();
}

NamespaceEntry::NamespaceEntry(NetNamespace& ns) {
  home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  ok_ = home_ >= 0 && ns.enter();
}

NamespaceEntry::~NamespaceEntry() {
  if (home_ < 0) return;
  ::setns(home_, CLONE_NEWNET);
  ::close(home_);
}

namespace {

bool tryConnect(const std::string& host, int port) {
  int fd = ::socket(host.find(':') != std::string::npos ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = false;
  if (host.find(':') == std::string::npos) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ::close(fd);
  return ok;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool reply(int fd, const std::string& text) {
  std::string line = text + "\r\n";
  return sendAll(fd, line.data(), line.size());
}

} // namespace

bool waitForPort(NetNamespace* ns, const std::string& host, int port, std::chrono::milliseconds timeout) {
  bool up = false;
  runIn(ns, [&] { up = waitFor([&] { return tryConnect(host, port); }, timeout); });
  return up;
}

std::optional<InterfaceBytes> interfaceBytes(const std::string& interface) {
  std::ifstream in("/proc/thread-self/net/dev");
  std::string line;
  while (std::getline(in, line)) {
    auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    name.erase(0, name.find_first_not_of(' '));
    if (name != interface) continue;
    std::istringstream fields(line.substr(colon + 1));
    std::uint64_t v[16] = {};
    for (auto& x : v)
      fields >> x;
    return InterfaceBytes{v[0], v[8]};
  }
  return std::nullopt;
}

bool shape(NetNamespace& ns, const std::string& interface, const std::string& rate) {
  std::string base = "ip netns exec " + ns.name() + " tc qdisc ";
  if (rate.empty()) return shell(base + "del dev " + interface + " root 2>/dev/null") == 0;
  // The burst holds the largest packet of the interface (loopback sends 64 KiB segments).
  return shell(base + "replace dev " + interface + " root tbf rate " + rate + " burst 256kb latency 20ms") ==
         0;
}

// ---- VsftpdServer

VsftpdServer::VsftpdServer(NetNamespace& ns, Options options) : ns_(ns), options_(std::move(options)) {
  std::random_device rd;
  dir_ = std::filesystem::temp_directory_path() /
         ("zelvo-vsftpd-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
  std::string command = std::string(ZELVO_SOURCE_DIR) + "/service/vsftpd/prepare " + dir_.string() +
                        " --address " + options_.address + " --port " + std::to_string(options_.port) +
                        " --login-delay " + std::to_string(options_.loginDelaySeconds);
  if (options_.protocolLog) command += " --log";
  for (auto& [name, bytes] : options_.files)
    command += " --file " + name + "=" + std::to_string(bytes);
  if (!ns_.ok() || shell(command + " >/dev/null") != 0) return;
  pid_ = ns_.spawn("exec vsftpd " + (dir_ / "vsftpd.conf").string());
  ok_ = pid_ > 0 && waitForPort(&ns_, options_.address, options_.port, std::chrono::seconds(5));
}

VsftpdServer::~VsftpdServer() {
  stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::vector<pid_t> VsftpdServer::processes() const {
  std::vector<pid_t> out;
  // vsftpd and its session processes are the namespace's processes running that binary.
  FILE* p = ::popen(("ip netns pids " + ns_.name() + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  int pid;
  while (std::fscanf(p, "%d", &pid) == 1) {
    std::string comm = readFile("/proc/" + std::to_string(pid) + "/comm");
    if (comm.rfind("vsftpd", 0) == 0) out.push_back(pid);
  }
  ::pclose(p);
  return out;
}

std::optional<std::string> VsftpdServer::readUpload(const std::string& name) const {
  std::filesystem::path path = uploads() / name;
  if (!std::filesystem::exists(path)) return std::nullopt;
  return readFile(path);
}

std::string VsftpdServer::protocolLog() const {
  return readFile(dir_ / "vsftpd.log");
}

void VsftpdServer::stall() {
  for (pid_t pid : processes())
    ::kill(pid, SIGSTOP);
}

void VsftpdServer::resume() {
  for (pid_t pid : processes())
    ::kill(pid, SIGCONT);
}

void VsftpdServer::dropSessions() {
  for (pid_t pid : processes())
    if (pid != pid_) ::kill(pid, SIGKILL);
}

void VsftpdServer::stop() {
  if (pid_ <= 0) return;
  for (pid_t pid : processes()) {
    ::kill(pid, SIGCONT);
    ::kill(pid, SIGKILL);
  }
  ns_.kill(pid_);
  pid_ = -1;
}

// ---- FaultyFtpServer

FaultyFtpServer::FaultyFtpServer(Options options, NetNamespace* ns) : options_(options) {
  runIn(ns, [&] {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(options_.port));
    socklen_t len = sizeof a;
    const bool never = options_.fault == Fault::NeverAccept;
    if (::inet_pton(AF_INET, options_.address.c_str(), &a.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, never ? 0 : 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ::close(fd);
      return;
    }
    if (never) {
      // One connection that is never accepted fills the queue; the kernel drops later SYNs.
      fillerFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (::connect(fillerFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return;
      }
    }
    listenFd_ = fd;
    port_ = ntohs(a.sin_port);
  });
  if (listenFd_ >= 0 && options_.fault != Fault::NeverAccept)
    acceptThread_ = std::thread([this, ns] {
      if (ns) ns->enter(); // the sessions' passive data sockets are made in the namespace too
      acceptLoop();
    });
}

FaultyFtpServer::~FaultyFtpServer() {
  stopping_ = true;
  release();
  if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : openFds_)
      ::shutdown(fd, SHUT_RDWR);
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  for (auto& t : sessions_)
    t.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  if (fillerFd_ >= 0) ::close(fillerFd_);
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
  for (;;) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 || stopping_.load()) {
      if (fd >= 0) ::close(fd);
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

int listenData(const std::string& address, int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

int acceptData(int listenFd, const std::atomic<bool>& stopping) {
  for (int waited = 0; waited < 5000 && !stopping.load(); waited += 50) {
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  }
  return -1;
}

} // namespace

void FaultyFtpServer::session(int fd) {
  auto forget = [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase(openFds_, fd);
  };
  if (options_.fault == Fault::SilentGreeting) {
    char c;
    while (!stopping_.load() && ::recv(fd, &c, 1, 0) > 0) {
    }
    forget();
    ::close(fd);
    return;
  }
  pause(stopping_, options_.greetingDelayMs);
  reply(fd, "220 faulty server ready");
  int pasvFd = -1;
  std::string buffer;
  bool clientClosed = false;
  while (!stopping_.load()) {
    auto eol = buffer.find("\r\n");
    if (eol == std::string::npos) {
      char chunk[512];
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
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
      if (pasvFd >= 0) ::close(pasvFd);
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
      int data = pasvFd >= 0 ? acceptData(pasvFd, stopping_) : -1;
      if (pasvFd >= 0) ::close(pasvFd);
      pasvFd = -1;
      if (data < 0) {
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
          while (!stopping_.load() && ::recv(data, &c, 1, 0) > 0) {
          }
          ok = false;
        } else if (options_.fault == Fault::DropData) {
          linger hard{1, 0};
          ::setsockopt(data, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
          ok = false;
        }
      } else {
        char chunk[64 << 10];
        for (;;) {
          ssize_t n = ::recv(data, chunk, sizeof chunk, 0);
          if (n <= 0) break;
          storedBytes_ += static_cast<std::uint64_t>(n);
          for (ssize_t i = 0; i < n; ++i)
            if (chunk[i] != '*') onlyAsterisks_ = false;
        }
        ++completedStores_;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        std::erase(openFds_, data);
      }
      ::close(data);
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
  if (pasvFd >= 0) ::close(pasvFd);
  forget();
  ::close(fd);
}

// ---- VethPair

VethPair::VethPair(const std::string& tag, const std::string& clientRate, const std::string& serverRate,
                   VsftpdServer::Options server)
    : client_(tag + "c"), server_ns_(tag + "s") {
  if (!client_.ok() || !server_ns_.ok()) return;
  std::string c = client_.name(), s = server_ns_.name();
  ok_ = shell("ip -n " + c + " link add veth-c type veth peer name veth-s netns " + s) == 0 &&
        shell("ip -n " + c + " addr add " + kClientAddress + "/24 dev veth-c") == 0 &&
        shell("ip -n " + s + " addr add " + kServerAddress + "/24 dev veth-s") == 0 &&
        shell("ip -n " + c + " link set veth-c up") == 0 && shell("ip -n " + s + " link set veth-s up") == 0;
  if (!ok_) return;
  if (!clientRate.empty()) ok_ = ok_ && shape(client_, "veth-c", clientRate);
  if (!serverRate.empty()) ok_ = ok_ && shape(server_ns_, "veth-s", serverRate);
  server.address = kServerAddress;
  server_ = std::make_unique<VsftpdServer>(server_ns_, server);
}

} // namespace zelvo::test
