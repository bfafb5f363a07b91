#include "tests/support/ftpserver.h"

#include "tests/support/support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
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

// ---- VethPair

VethPair::VethPair(const std::string& tag, const std::string& clientRate, const std::string& serverRate,
                   VsftpdServer::Options server, std::optional<RoutedPath> path)
    : client_(tag + "c"), server_ns_(tag + "s") {
  if (!client_.ok() || !server_ns_.ok()) return;
  std::string c = client_.name(), s = server_ns_.name();
  if (path) {
    ok_ = buildRoutedPath(tag, *path, clientRate, serverRate);
  } else {
    ok_ = shell("ip -n " + c + " link add veth-c type veth peer name veth-s netns " + s) == 0 &&
          shell("ip -n " + c + " addr add " + kClientAddress + "/24 dev veth-c") == 0 &&
          shell("ip -n " + s + " addr add " + kServerAddress + "/24 dev veth-s") == 0 &&
          shell("ip -n " + c + " link set veth-c up") == 0 &&
          shell("ip -n " + s + " link set veth-s up") == 0;
    if (!ok_) return;
    if (!clientRate.empty()) ok_ = ok_ && shape(client_, "veth-c", clientRate);
    if (!serverRate.empty()) ok_ = ok_ && shape(server_ns_, "veth-s", serverRate);
  }
  if (!ok_) return;
  server.address = kServerAddress;
  server_ = std::make_unique<VsftpdServer>(server_ns_, server);
}

VethPair::~VethPair() {
  stopPath();
}

namespace {

// tbf on a router leg: a burst of about two milliseconds at the rate (never under two frames), so that
// no phase reads above the line's rate.
bool shapeLeg(NetNamespace& ns, const std::string& interface, const std::string& rate, int queueMs) {
  double bits = std::atof(rate.c_str());
  if (rate.find("gbit") != std::string::npos)
    bits *= 1e9;
  else if (rate.find("mbit") != std::string::npos)
    bits *= 1e6;
  else if (rate.find("kbit") != std::string::npos)
    bits *= 1e3;
  long burst = std::max(3028L, static_cast<long>(bits / 8 / 500));
  return shell("ip netns exec " + ns.name() + " tc qdisc replace dev " + interface + " root tbf rate " +
               rate + " burst " + std::to_string(burst) + " latency " + std::to_string(queueMs) + "ms") == 0;
}

} // namespace

bool VethPair::buildRoutedPath(const std::string& tag, const RoutedPath& path, const std::string& clientRate,
                               const std::string& serverRate) {
  router_ = std::make_unique<NetNamespace>(tag + "r");
  if (!router_->ok()) return false;
  const std::string c = client_.name(), s = server_ns_.name(), r = router_->name();
  const std::string pathemu = std::string(ZELVO_BINARY_DIR) + "/service/pathemu/zelvo-pathemu";
  // The ends' TCP buffers (their namespaces' own settings) must hold a long path's bytes in flight.
  const std::string buffers =
      " sysctl -qw net.ipv4.tcp_rmem=\"4096 131072 67108864\" net.ipv4.tcp_wmem=\"4096 16384 67108864\"";
  bool ok = shell("ip -n " + c + " link add veth-c type veth peer name rt-c netns " + r) == 0 &&
            shell("ip -n " + s + " link add veth-s type veth peer name rt-s netns " + r) == 0 &&
            shell("ip -n " + c + " addr add " + kClientAddress + "/24 dev veth-c") == 0 &&
            shell("ip -n " + s + " addr add " + kServerAddress + "/24 dev veth-s") == 0 &&
            shell("ip netns exec " + r + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1") == 0 &&
            shell("ip netns exec " + c + " " + pathemu + " --offloads-off veth-c") == 0 &&
            shell("ip netns exec " + s + " " + pathemu + " --offloads-off veth-s") == 0 &&
            shell("ip netns exec " + r + " " + pathemu + " --offloads-off rt-c rt-s") == 0 &&
            shell("ip netns exec " + c + buffers) == 0 && shell("ip netns exec " + s + buffers) == 0;
  for (const std::string& up : {"ip -n " + r + " link set rt-c up", "ip -n " + r + " link set rt-s up",
                                "ip -n " + c + " link set veth-c up", "ip -n " + s + " link set veth-s up"})
    ok = ok && shell(up) == 0;
  if (!ok) return false;
  if (!clientRate.empty() && !shapeLeg(*router_, "rt-s", clientRate, path.queueMs)) return false;
  if (!serverRate.empty() && !shapeLeg(*router_, "rt-c", serverRate, path.queueMs)) return false;
  emulatorOut_ = "/tmp/" + r + ".pathemu";
  char figures[64];
  std::snprintf(figures, sizeof figures, " --delay %g --loss %g", path.rttMs / 2, path.lossPercent);
  emulator_ = router_->spawn("exec " + pathemu + " --client rt-c --server rt-s" + figures + " >" +
                             emulatorOut_ + " 2>&1");
  return emulator_ > 0 &&
         waitFor([&] { return readFile(emulatorOut_).find("pathemu: ready") != std::string::npos; },
                 std::chrono::seconds(10));
}

std::string VethPair::stopPath() {
  if (emulator_ <= 0) return "";
  router_->stop(emulator_, SIGTERM);
  emulator_ = -1;
  std::string figures = readFile(emulatorOut_);
  std::error_code ec;
  std::filesystem::remove(emulatorOut_, ec);
  return figures;
}

} // namespace zelvo::test
