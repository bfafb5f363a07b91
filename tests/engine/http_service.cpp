#include "tests/engine/http_support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zelvo::test {

void WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd, data.data() + done, data.size() - done); // a pipe
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// ---- the web service as a child process ------------------------------------------------------

namespace {

size_t AppendBody(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

std::optional<std::string> CurlFetch(const std::string& url, const std::string* postBody) {
  CURL* c = curl_easy_init();
  if (!c) return std::nullopt;
  std::string body;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 10000L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &AppendBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  if (postBody) curl_easy_setopt(c, CURLOPT_POSTFIELDS, postBody->c_str());
  CURLcode rc = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(c);
  if (rc != CURLE_OK || status != 200) return std::nullopt;
  return body;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    char n = s[++i];
    out.push_back(n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n);
  }
  return out;
}

// Starts argv with its standard output on a pipe; the pid, and the pipe's read end in outFd.
pid_t Spawn(const std::vector<std::string>& args, int& outFd, int inFd = -1) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (inFd >= 0) posix_spawn_file_actions_adddup2(&actions, inFd, 0);
  std::vector<char*> argv;
  for (const auto& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  outFd = out[0];
  return pid;
}

std::string ServiceScript() {
  return std::string(ZELVO_SOURCE_DIR) + "/service/zelvo_service.py";
}

} // namespace

ServiceProcess::ServiceProcess(const std::string& configJson) {
  sandbox_.write("config.json", configJson);
  int outFd = -1;
  pid_ = Spawn({"python3", ServiceScript(), "--host", "127.0.0.1", "--port", "0", "--config",
                sandbox_.file("config.json").string(), "--reports", sandbox_.file("reports").string()},
               outFd);
  if (pid_ < 0) return;
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{outFd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    ssize_t n = ::read(outFd, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  ::close(outFd);
  unsigned port = 0;
  if (std::sscanf(line.c_str(), "listening on %*s %u", &port) == 1) port_ = static_cast<int>(port);
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::string ServiceProcess::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::optional<std::string> ServiceProcess::get(const std::string& path) const {
  return CurlFetch(url(path), nullptr);
}

void ServiceProcess::configure(const std::string& json) const {
  CurlFetch(url("/zelvo/_config"), &json);
}

std::vector<ServiceProcess::Request> ServiceProcess::requests() const {
  std::vector<Request> out;
  std::istringstream lines(get("/zelvo/_requests.txt").value_or(""));
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
    if (t1 == std::string::npos || t2 == std::string::npos) continue;
    Request r;
    r.method = line.substr(0, t1);
    r.path = line.substr(t1 + 1, t2 - t1 - 1);
    std::string cookie = line.substr(t2 + 1);
    if (cookie.size() >= 2 && cookie.front() == '[' && cookie.back() == ']')
      r.cookie = Unescape(cookie.substr(1, cookie.size() - 2));
    if (r.path.rfind("/zelvo/_", 0) != 0) out.push_back(r); // the tests' own requests are not wanted
  }
  return out;
}

std::map<std::string, std::string> ServiceProcess::lastReport() const {
  std::map<std::string, std::string> out;
  std::istringstream lines(get("/zelvo/_reports.txt").value_or(""));
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t tab = line.find('\t');
    if (tab != std::string::npos) out[line.substr(0, tab)] = Unescape(line.substr(tab + 1));
  }
  return out;
}

std::optional<std::string> DecodeWithService(const std::string& code, const std::string& cookieValue) {
  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return std::nullopt;
  int outFd = -1;
  pid_t pid = Spawn({"python3", ServiceScript(), "--decode-report", cookieValue}, outFd, in[0]);
  ::close(in[0]);
  WriteAll(in[1], code);
  ::close(in[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(outFd, buf, sizeof buf)) > 0)
    text.append(buf, static_cast<std::size_t>(n));
  ::close(outFd);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return std::nullopt;
  return text;
}

} // namespace zelvo::test
