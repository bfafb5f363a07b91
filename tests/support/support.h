#pragma once
// Shared helpers of the tests: polling waits, sandbox folders, and a recording engine window.

#include "engine/window.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelvo::test {

// Polls the condition every few milliseconds; false when it did not hold within the time-out.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A fresh folder for one test, removed with the object.
class Sandbox {
public:
  Sandbox();
  ~Sandbox();
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path file(const std::string& name) const { return path_ / name; }
  void write(const std::string& name, const std::string& content) const;

private:
  std::filesystem::path path_;
};

// True when the tests run as root (namespaces, raw sockets, tbf).
bool isRoot();
// Reads a file of tests/data.
std::string readTestData(const std::string& name);

// One message as the window received it, with its texts taken over.
struct RecordedMessage {
  unsigned message = 0;
  WParam wParam = 0;
  LParam lParam = 0;
  bool sent = false;
  std::optional<std::string> wText, lText;
};

// Records every message with its texts; a hook may answer each one (on the engine's thread, the way a
// window's handler would run before a send returns).
class RecordingWindow : public EngineWindow {
public:
  void post(unsigned message, WParam wParam, LParam lParam) override;
  void send(unsigned message, WParam wParam, LParam lParam) override;

  std::vector<RecordedMessage> messages() const;
  // Waits until a message with this number (and wParam, when given) has arrived.
  bool waitForMessage(unsigned message, std::optional<WParam> wParam,
                      std::chrono::milliseconds timeout) const;
  void setHook(std::function<void(const RecordedMessage&)> hook);

private:
  void record(unsigned message, WParam wParam, LParam lParam, bool sent);
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<RecordedMessage> messages_;
  std::function<void(const RecordedMessage&)> hook_;
};

} // namespace zelvo::test
