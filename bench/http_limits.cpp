// How long the request object takes to give up on each kind of stall, against loopback servers that
// accept and then stall, and how long one small request takes. Prints name=value figures.

#include "platform/winhttp.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
enum class Stall { Connect, Send, Receive, None };

// A loopback server that stalls the way asked (Connect: accepts nothing and its queue is full).
class StallServer {
public:
  explicit StallServer(Stall stall) : stall_(stall) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, stall == Stall::Connect ? 0 : 16);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (stall == Stall::Connect) {
      filler_ = ::socket(AF_INET, SOCK_STREAM, 0);
      ::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a);
      return;
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~StallServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (filler_ >= 0) ::close(filler_);
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
  void Serve() {
    std::vector<int> open;
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      open.push_back(c);
      std::string head;
      char ch;
      while (head.find("\r\n\r\n") == std::string::npos && ::recv(c, &ch, 1, 0) == 1)
        head.push_back(ch);
      if (stall_ == Stall::None) {
        const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
        ::send(c, answer, sizeof answer - 1, MSG_NOSIGNAL);
      }
    }
    for (int c : open)
      ::close(c);
  }
  Stall stall_;
  int fd_ = -1, filler_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

double FailAfterMs(Stall stall, int limitMs) {
  StallServer server(stall);
  auto request = zelvo::platform::CreateWinHttpRequest();
  const int big = 60000;
  request->SetTimeouts(3000, stall == Stall::Connect ? limitMs : big, stall == Stall::Send ? limitMs : big,
                       stall == Stall::Receive ? limitMs : big);
  request->Open(stall == Stall::Send ? "POST" : "GET", server.url(), false);
  auto start = Clock::now();
  bool ok = request->Send(stall == Stall::Send ? std::optional<std::string>(std::string(64u << 20, 'x'))
                                               : std::nullopt);
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return ok ? -1.0 : ms;
}

} // namespace

int main() {
  const char* names[] = {"connect", "send", "receive"};
  for (Stall stall : {Stall::Connect, Stall::Send, Stall::Receive}) {
    for (int limit : {500, 1000, 2000}) {
      double worst = 0, sum = 0;
      const int runs = 3;
      int failed = 0;
      for (int i = 0; i < runs; ++i) {
        double ms = FailAfterMs(stall, limit);
        if (ms < 0) continue; // did not fail: no time to average
        ++failed;
        sum += ms;
        worst = std::max(worst, ms);
      }
      std::printf(
          "%s_limit_ms=%d runs=%d did_not_fail=%d failed_after_mean_ms=%.0f failed_after_max_ms=%.0f\n",
          names[static_cast<int>(stall)], limit, runs, runs - failed, failed ? sum / failed : -1.0,
          failed ? worst : -1.0);
    }
  }
  StallServer server(Stall::None);
  const int n = 200;
  auto start = Clock::now();
  int ok = 0;
  for (int i = 0; i < n; ++i) {
    auto request = zelvo::platform::CreateWinHttpRequest();
    request->SetTimeouts(3000, 10000, 10000, 10000);
    request->Open("GET", server.url(), false);
    ok += request->Send(std::nullopt) && request->Status() == 200;
  }
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::printf("small_get_requests=%d answered=%d mean_ms=%.2f\n", n, ok, ms / n);
  return 0;
}
