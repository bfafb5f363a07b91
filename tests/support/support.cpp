#include "tests/support/support.h"

#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace zelvo::test {

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

Sandbox::Sandbox() {
  std::random_device rd;
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = std::filesystem::temp_directory_path() /
          ("zelvo-test-" + std::to_string(now) + "-" + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

Sandbox::~Sandbox() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void Sandbox::write(const std::string& name, const std::string& content) const {
  std::ofstream out(file(name), std::ios::binary);
  out << content;
}

bool isRoot() {
#ifdef _WIN32
  return false; // the tests that need root (namespaces, raw sockets) are Linux's
#else
  return ::geteuid() == 0;
#endif
}

std::string readTestData(const std::string& name) {
  std::ifstream in(std::string(ZELVO_SOURCE_DIR) + "/tests/data/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void RecordingWindow::record(unsigned message, WParam wParam, LParam lParam, bool sent) {
  RecordedMessage m;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  m.sent = sent;
  MessageTextValues texts = TakeMessageTexts(message, wParam, lParam);
  m.wText = std::move(texts.wText);
  m.lText = std::move(texts.lText);
  std::function<void(const RecordedMessage&)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(m);
    hook = hook_;
  }
  changed_.notify_all();
  if (hook) hook(m);
}

void RecordingWindow::post(unsigned message, WParam wParam, LParam lParam) {
  record(message, wParam, lParam, false);
}
void RecordingWindow::send(unsigned message, WParam wParam, LParam lParam) {
  record(message, wParam, lParam, true);
}

std::vector<RecordedMessage> RecordingWindow::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

bool RecordingWindow::waitForMessage(unsigned message, std::optional<WParam> wParam,
                                     std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    for (const auto& m : messages_)
      if (m.message == message && (!wParam || m.wParam == *wParam)) return true;
    return false;
  });
}

void RecordingWindow::setHook(std::function<void(const RecordedMessage&)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

} // namespace zelvo::test
