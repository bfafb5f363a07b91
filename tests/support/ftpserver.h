#pragma once
// FTP servers for tests: a real vsftpd serving a fresh root inside a network namespace (root only),
// a small FTP server of our own that misbehaves on request, and two namespaces joined by veth.

#include "platform/socket.h"
#include "tests/support/netns.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zelvo::test {

// Runs fn on a new thread that has entered the namespace (nullptr: the caller's) and waits for it.
void runIn(NetNamespace* ns, const std::function<void()>& fn);
// Moves the calling thread into the namespace and back to where it was when the object goes (a
// process whose thread stays inside would be killed with the namespace's processes).
class NamespaceEntry {
public:
  explicit NamespaceEntry(NetNamespace& ns);
  ~NamespaceEntry();
  NamespaceEntry(const NamespaceEntry&) = delete;
  NamespaceEntry& operator=(const NamespaceEntry&) = delete;
  bool ok() const { return ok_; }

private:
  int home_ = -1;
  bool ok_ = false;
};
// True once a TCP connect to host:port succeeds from inside the namespace.
bool waitForPort(NetNamespace* ns, const std::string& host, int port, std::chrono::milliseconds timeout);
// Received and sent bytes of an interface as the calling thread's namespace counts them.
struct InterfaceBytes {
  std::uint64_t rx = 0, tx = 0;
};
std::optional<InterfaceBytes> interfaceBytes(const std::string& interface);
// Shapes an interface of the namespace with tbf (rate as tc writes it, e.g. "100mbit"); "" removes it.
bool shape(NetNamespace& ns, const std::string& interface, const std::string& rate);

// A real vsftpd (service/vsftpd/prepare) running inside a namespace. The served root is a sandbox
// folder: the files asked for (sparse) and an uploads/ folder owned by "ftp".
class VsftpdServer {
public:
  struct Options {
    std::string address = "127.0.0.1";
    int port = 21;
    int loginDelaySeconds = 0;
    bool protocolLog = true;
    // Sparse, and larger than a phase moves on a 10 Gbit/s line.
    std::vector<std::pair<std::string, std::uint64_t>> files = {{"test_1024m.zip", 64ull << 30}};
  };
  VsftpdServer(NetNamespace& ns, Options options);
  explicit VsftpdServer(NetNamespace& ns) : VsftpdServer(ns, Options{}) {}
  ~VsftpdServer();
  VsftpdServer(const VsftpdServer&) = delete;
  VsftpdServer& operator=(const VsftpdServer&) = delete;

  // True when vsftpd answers on host():port().
  bool ok() const { return ok_; }
  const std::string& host() const { return options_.address; }
  int port() const { return options_.port; }
  std::filesystem::path root() const { return dir_ / "root"; }
  std::filesystem::path uploads() const { return root() / "uploads"; }
  // Content of a stored upload, or nothing when it does not exist.
  std::optional<std::string> readUpload(const std::string& name) const;
  // vsftpd's protocol log (commands and replies), when protocolLog was on.
  std::string protocolLog() const;
  // Freezes (SIGSTOP) or thaws every vsftpd process of the instance, sessions included.
  void stall();
  void resume();
  // Kills the session processes (their control and data connections drop); the listener stays.
  void dropSessions();
  void stop();

private:
  std::vector<pid_t> processes() const;
  NetNamespace& ns_;
  Options options_;
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  bool ok_ = false;
};

// An FTP server of our own on 127.0.0.1 with a free port, for misbehaviour vsftpd cannot be asked for.
// It speaks USER, PASS, PWD, TYPE, CWD, PASV, EPSV (refused), SIZE, REST, RETR, STOR, ABOR, QUIT.
class FaultyFtpServer {
public:
  enum class Fault {
    None,
    SlowLogin,      // the 230 comes loginDelayMs after PASS
    StallRetr,      // RETR sends stallAfterBytes, then nothing (data connection stays open)
    DropData,       // RETR sends stallAfterBytes, resets the data connection and replies 426
    RefuseStor,     // STOR is answered with 553
    HoldData,       // RETR waits for release() before sending
    SilentGreeting, // accepts the connection but never greets
    NeverAccept     // the listen queue is full: a connect is never answered
  };
  struct Options {
    Fault fault = Fault::None;
    int loginDelayMs = 0;
    std::uint64_t fileSize = 1 << 20; // size of every file but "missing"
    std::uint64_t stallAfterBytes = 256 << 10;
    int greetingDelayMs = 0;           // the 220 comes this long after the accept
    std::string address = "127.0.0.1"; // control and passive data connections
    int port = 0;                      // 0: a free port
  };
  // ns: the namespace to listen in (nullptr: the caller's).
  FaultyFtpServer(Options options, NetNamespace* ns = nullptr);
  ~FaultyFtpServer();
  FaultyFtpServer(const FaultyFtpServer&) = delete;
  FaultyFtpServer& operator=(const FaultyFtpServer&) = delete;

  bool ok() const { return listenFd_ != platform::kNoSocket; }
  int port() const { return port_; }
  // Every command received so far, in order, across sessions.
  std::vector<std::string> commands() const;
  bool sawCommand(const std::string& prefix) const;
  // Bytes received by STOR so far, and whether every one of them was '*'.
  std::uint64_t storedBytes() const { return storedBytes_.load(); }
  bool storedOnlyAsterisks() const { return onlyAsterisks_.load(); }
  int completedStores() const { return completedStores_.load(); }
  // Control connections accepted so far, and those the client has closed.
  int connections() const { return connections_.load(); }
  int closedByClient() const { return closedByClient_.load(); }
  void release();

private:
  void acceptLoop();
  void session(platform::SocketHandle fd);
  void note(const std::string& command);
  bool waitReleased();

  Options options_;
  platform::SocketHandle listenFd_ = platform::kNoSocket;
  platform::SocketHandle fillerFd_ = platform::kNoSocket;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
  std::vector<std::string> commands_;
  std::vector<std::thread> sessions_;
  std::vector<platform::SocketHandle> openFds_;
  std::atomic<std::uint64_t> storedBytes_{0};
  std::atomic<bool> onlyAsterisks_{true};
  std::atomic<int> completedStores_{0};
  std::atomic<int> connections_{0};
  std::atomic<int> closedByClient_{0};
};

// A path with distance between the two ends (the test bed's --rtt layout): a router namespace with a
// leg to each end, the path emulator forwarding between them.
struct RoutedPath {
  double rttMs = 0;       // split evenly between the two directions
  double lossPercent = 0; // in each direction
  int queueMs = 20;       // the depth of the router legs' tbf queue when a rate is given
};

// Two fresh namespaces joined by veth: the client end 192.0.2.1/24 and the server end 192.0.2.2/24
// (an address block reserved for documentation, routed nowhere), each end shaped on its own, with
// vsftpd on the server end. With a routed path, the rates shape the router's legs instead (the
// client's rate its upload, the server's its download).
class VethPair {
public:
  VethPair(const std::string& tag, const std::string& clientRate, const std::string& serverRate,
           VsftpdServer::Options server, std::optional<RoutedPath> path = std::nullopt);
  ~VethPair();
  // Ends the path emulator and returns its figures (empty without a routed path).
  std::string stopPath();
  // The emulator's process (its CPU time is the path's cost), or -1.
  pid_t pathProcess() const { return emulator_; }
  bool ok() const { return ok_ && server_ && server_->ok(); }
  NetNamespace& client() { return client_; }
  NetNamespace& far() { return server_ns_; }
  VsftpdServer& server() { return *server_; }
  std::string clientInterface() const { return "veth-c"; }
  static constexpr const char* kClientAddress = "192.0.2.1";
  static constexpr const char* kServerAddress = "192.0.2.2";

private:
  bool buildRoutedPath(const std::string& tag, const RoutedPath& path, const std::string& clientRate,
                       const std::string& serverRate);

  NetNamespace client_;
  NetNamespace server_ns_;
  std::unique_ptr<NetNamespace> router_;
  pid_t emulator_ = -1;
  std::string emulatorOut_;
  bool ok_ = false;
  std::unique_ptr<VsftpdServer> server_;
};

} // namespace zelvo::test
