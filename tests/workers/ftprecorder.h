#pragma once
// Records what sessions tell their handlers, from whichever thread they run on.

#include "workers/ftpthread.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zelvo::test {

struct ProgressReport {
  std::string sender;
  WorkMode mode;
  std::int64_t total, elapsedMs;
  double bitsPerSecond;
  std::chrono::steady_clock::time_point at;
};

class SessionRecorder {
public:
  using Clock = std::chrono::steady_clock;

  // Attaches every handler of the session; onProgress, when given, runs after the report is recorded.
  void attach(CFTPSession& s, std::function<void(TransferSession&)> onProgress = {}) {
    s.SetOnLog([this](TransferSession& sender, const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      logs_.push_back(sender.Name() + "|" + text);
      if (text.find("WorkBegin()") != std::string::npos) workBegins_.push_back({sender.Name(), Clock::now()});
    });
    s.SetOnConnected([this](TransferSession&) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connected_;
    });
    s.SetOnDisconnected([this](TransferSession&) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++disconnected_;
    });
    s.SetOnProgress([this, onProgress](TransferSession& sender, WorkMode mode, std::int64_t total,
                                       std::int64_t elapsed, double bps) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back({sender.Name(), mode, total, elapsed, bps, Clock::now()});
      }
      if (onProgress) onProgress(sender);
    });
  }

  std::vector<std::string> logs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logs_;
  }
  std::vector<std::string> logsOf(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& l : logs())
      if (l.rfind(name + "|", 0) == 0) out.push_back(l.substr(name.size() + 1));
    return out;
  }
  std::vector<ProgressReport> reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  std::size_t reportCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_.size();
  }
  std::size_t workBeginsOf(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& [who, at] : workBegins_)
      n += who == name;
    return n;
  }
  std::optional<Clock::time_point> firstWorkBegin(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [who, at] : workBegins_)
      if (who == name) return at;
    return std::nullopt;
  }
  int connectedEvents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
  }
  int disconnectedEvents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return disconnected_;
  }

private:
  mutable std::mutex mutex_;
  std::vector<std::string> logs_;
  std::vector<std::pair<std::string, Clock::time_point>> workBegins_;
  std::vector<ProgressReport> reports_;
  int connected_ = 0, disconnected_ = 0;
};

// A session set up the way the engine prepares one.
inline void prepare(CFTPSession& s, const std::string& name, const std::string& host, int port) {
  s.SetName(name);
  s.SetHost(host);
  s.SetUsername("ftp");
  s.SetPort(port);
  s.SetPassword("zelvo@");
  s.SetAbortMode(false);
  s.SetPassive(true);
  s.SetRecvBufferSize(131072);
  s.SetSendBufferSize(65536);
}

} // namespace zelvo::test
