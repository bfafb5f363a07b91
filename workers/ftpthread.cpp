#include "workers/ftpthread.h"

#include "platform/cp950.h"
#include "platform/socket.h"
#include "platform/tcpinfo.h"
#include "workers/tcpstats.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <curl/curl.h>
#include <mutex>
#include <set>
#include <thread>

// On Windows curl.h brings in windows.h, whose printer API renames SetPort.
#undef SetPort

namespace zelvo {

namespace {

std::mutex CounterLock;
std::int64_t TotalBytes = 0;
std::int64_t ReportedBytes = 0;
std::int64_t ElapsedMs = 0;

// Bounds the TCP connect only; the greeting and the login replies have the reply time-out.
constexpr int kConnectTimeoutMs = 2000;
constexpr long kResponseTimeoutS = 10;
constexpr int kDisconnectWaitMs = 3000;
// Longest sleep of a driving loop between looks at its abort and cancel requests.
constexpr int kDrivePollMs = 50;
// An upload that was asked to end may finish its STOR for this long after a disconnect request.
constexpr int kUploadFinishGraceMs = 1500;
constexpr std::int64_t kBatchBytes = 512 << 10;
constexpr std::int64_t kBatchPauseUs = 8000;
// Below this a pause saves no wake-ups worth having: the data is simply read as it comes.
constexpr std::int64_t kShortestPauseUs = 500;

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Texts of the system are CP950; the Chinese literals are converted once.
std::string toCp950(const char* utf8) {
  std::string text = platform::Cp950Literal(utf8);
  return text.empty() ? utf8 : text;
}

const std::string& textNth() {
  static const std::string text = toCp950(" 第 ");
  return text;
}
const std::string& textTimesDownload() {
  static const std::string text = toCp950(" 次下載");
  return text;
}

std::string timeOfDay() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return buf;
}

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

const char* kStatusNames[] = {"hsResolving",     "hsConnecting",   "hsConnected",
                              "hsDisconnecting", "hsDisconnected", "hsStatusText",
                              "ftpTransfer",     "ftpReady",       "ftpAborted"};
enum Status {
  hsResolving,
  hsConnecting,
  hsConnected,
  hsDisconnecting,
  hsDisconnected,
  hsStatusText,
  ftpTransfer,
  ftpReady,
  ftpAborted
};

} // namespace

FtpCounters ftpCounters() {
  std::lock_guard<std::mutex> lock(CounterLock);
  return {TotalBytes, ReportedBytes, ElapsedMs};
}

// ---- MemoryStream

void MemoryStream::clear() {
  data_.clear();
  position_ = 0;
}

void MemoryStream::write(const char* data, std::size_t size) {
  if (position_ + size > data_.size()) data_.resize(position_ + size);
  std::memcpy(data_.data() + position_, data, size);
  position_ += size;
}

std::size_t MemoryStream::read(char* data, std::size_t size) {
  std::size_t n = std::min(size, data_.size() - position_);
  std::memcpy(data, data_.data() + position_, n);
  position_ += n;
  return n;
}

void MemoryStream::fill(char byte, std::size_t size) {
  data_.assign(size, byte);
  position_ = size;
}

void MemoryStream::setPosition(std::size_t position) {
  position_ = std::min(position, data_.size());
}

// ---- FtpClient: the curl handles of one session and the sockets they opened.
//
// The session keeps its login in the handles' connection cache: Connect logs in with a request for the
// login directory that transfers nothing, and SIZE, CWD, RETR and STOR reuse that control connection.
// What curl puts on the wire beyond the bare commands: PWD after the login, TYPE I before a transfer
// rather than right after the login, REST 0 after a SIZE, a second SIZE before RETR, "CWD /" and CWDs
// of the path when a request's directory differs from the last one. An abort of a download drops the
// data and the control connection (no ABOR), with either abort mode. Disconnect shuts the control
// socket down, so curl finds it dead and sends no QUIT.

class FtpClient {
public:
  explicit FtpClient(CFTPSession* session) : session_(session) {
    globalInit();
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &FtpClient::writeCb);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_READFUNCTION, &FtpClient::readCb);
    curl_easy_setopt(easy_, CURLOPT_READDATA, this);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &FtpClient::headerCb);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &FtpClient::progressCb);
    curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy_, CURLOPT_OPENSOCKETFUNCTION, &FtpClient::openSocketCb);
    curl_easy_setopt(easy_, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(easy_, CURLOPT_CLOSESOCKETFUNCTION, &FtpClient::closeSocketCb);
    curl_easy_setopt(easy_, CURLOPT_CLOSESOCKETDATA, this);
    curl_easy_setopt(easy_, CURLOPT_SOCKOPTFUNCTION, &FtpClient::sockoptCb);
    curl_easy_setopt(easy_, CURLOPT_SOCKOPTDATA, this);
    // PASV as the session expects, not EPSV; binary transfers; the server's own path rules.
    curl_easy_setopt(easy_, CURLOPT_FTP_USE_EPSV, 0L);
    curl_easy_setopt(easy_, CURLOPT_TRANSFERTEXT, 0L);
    curl_easy_setopt(easy_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_MULTICWD));
    curl_easy_setopt(easy_, CURLOPT_SERVER_RESPONSE_TIMEOUT, kResponseTimeoutS);
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "ftp");
    // The wire of every request on stderr, for diagnosing a server.
    if (std::getenv("ZELVO_FTP_TRACE")) curl_easy_setopt(easy_, CURLOPT_VERBOSE, 1L);
  }

  ~FtpClient() {
    shutdownAll();
    if (multi_) curl_multi_cleanup(multi_);
    if (easy_) curl_easy_cleanup(easy_);
  }

  CURL* easy() const { return easy_; }
  CURLM* multi() const { return multi_; }
  const char* error() const { return error_; }
  void clearError() { error_[0] = 0; }

  // Held by the thread that uses the handles: the engine's thread for connect, SIZE and CWD, a worker
  // for its transfer.
  std::mutex driveMutex;
  std::atomic<std::thread::id> holder{}; // the thread holding driveMutex
  std::atomic<std::thread::id> driver{}; // the thread inside a request (curl callbacks run there)

  void wakeup() { curl_multi_wakeup(multi_); }

  bool controlOpen() const {
    std::lock_guard<std::mutex> lock(socketMutex_);
    return control_ != CURL_SOCKET_BAD && !controlShut_;
  }
  // Ends the control connection without a word to the server: curl finds it dead and drops it without
  // sending QUIT. Only the thread holding driveMutex calls this.
  void shutdownControl() {
    std::lock_guard<std::mutex> lock(socketMutex_);
    if (control_ != CURL_SOCKET_BAD && !controlShut_) platform::ShutdownSocket(control_);
    controlShut_ = true;
  }
  void shutdownAll() {
    std::lock_guard<std::mutex> lock(socketMutex_);
    for (curl_socket_t fd : sockets_)
      platform::ShutdownSocket(fd);
    controlShut_ = true;
  }
  void setControlTarget(int port) { controlPort_ = port; }
  void allowNewControl(bool allow) { allowNewControl_ = allow; }

  // The last TCP connect of a request: whether it ran out of time, and the system's error otherwise.
  bool connectTimedOut() const { return connectTimedOut_; }
  int connectErrno() const { return connectErrno_; }
  void clearConnectResult() {
    connectTimedOut_ = false;
    connectErrno_ = 0;
  }

  // The data connection of the running transfer (driving thread only): its socket's TCP figures go to
  // the process-wide statistics, and an upload counts the bytes that have left the machine.
  curl_socket_t dataSocket() const { return dataFd_; }
  void sampleData(bool force);

private:
  static std::size_t writeCb(char* data, std::size_t size, std::size_t n, void* self);
  static std::size_t readCb(char* data, std::size_t size, std::size_t n, void* self);
  static std::size_t headerCb(char* data, std::size_t size, std::size_t n, void* self);
  static int progressCb(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
  static curl_socket_t openSocketCb(void* self, curlsocktype purpose, curl_sockaddr* address);
  static int closeSocketCb(void* self, curl_socket_t fd);
  static int sockoptCb(void* self, curl_socket_t fd, curlsocktype purpose);
  // Connects within the limit, giving up early when the session is told to stop.
  bool connectWithin(curl_socket_t fd, const curl_sockaddr* address, int limitMs, int& error);

  CFTPSession* session_;
  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;
  char error_[CURL_ERROR_SIZE] = {};
  mutable std::mutex socketMutex_;
  std::set<curl_socket_t> sockets_;
  curl_socket_t control_ = CURL_SOCKET_BAD;
  bool controlShut_ = false;
  int controlPort_ = 21;
  bool allowNewControl_ = false;
  std::set<curl_socket_t> connectedByUs_; // under socketMutex_
  bool connectTimedOut_ = false;
  int connectErrno_ = 0;
  curl_socket_t dataFd_ = CURL_SOCKET_BAD;
  std::uint64_t dataConnection_ = 0;
  bool dataUpload_ = false;
  std::int64_t lastSampleMs_ = 0;
};

// The drive lock with a note of its holder, so a handler that runs under it can be recognised.
class DriveLock {
public:
  explicit DriveLock(FtpClient& client) : client_(client), lock_(client.driveMutex) {
    client_.holder = std::this_thread::get_id();
  }
  ~DriveLock() { client_.holder = std::thread::id{}; }
  DriveLock(const DriveLock&) = delete;
  DriveLock& operator=(const DriveLock&) = delete;

private:
  FtpClient& client_;
  std::lock_guard<std::mutex> lock_;
};

std::size_t FtpClient::writeCb(char* data, std::size_t size, std::size_t n, void* self) {
  auto* client = static_cast<FtpClient*>(self);
  CFTPSession* s = client->session_;
  std::size_t bytes = size * n;
  TFTPThread* w = s->transfer_;
  if (!w || w->IsUpload) return bytes;
  s->beginTransferOnce(s->knownSize_.load());
  s->transferred_ += static_cast<std::int64_t>(bytes);
  w->DownloadStream.write(data, bytes);
  s->cumulative_ += static_cast<std::int64_t>(bytes);
  if (!s->onWork(*w, WorkMode::Read, s->cumulative_) || s->killNow()) {
    s->endedByUs_ = true;
    return CURL_WRITEFUNC_ERROR;
  }
  return bytes;
}

std::size_t FtpClient::readCb(char* data, std::size_t size, std::size_t n, void* self) {
  auto* client = static_cast<FtpClient*>(self);
  CFTPSession* s = client->session_;
  TFTPThread* w = s->transfer_;
  if (!w || !w->IsUpload) return 0;
  if (s->killNow()) {
    s->endedByUs_ = true;
    return CURL_READFUNC_ABORT;
  }
  s->beginTransferOnce(static_cast<std::int64_t>(w->UploadStream.size()));
  // curl asks for more only once it has written everything read before into the socket.
  const std::int64_t handed = s->cumulative_;
  std::size_t chunk = std::min(size * n, s->sendChunk_);
  std::size_t got = w->UploadStream.read(data, chunk);
  if (got == 0) return 0; // the source reached its end: curl completes the STOR
  s->transferred_ += static_cast<std::int64_t>(got);
  s->cumulative_ += static_cast<std::int64_t>(got);
  // Counted as they leave the machine: what waits in the socket's send queue (not sent, or sent and
  // not acknowledged) is not counted yet, so a growing send buffer does not read as speed. A system
  // that keeps no such figures for the socket counts what was handed to it.
  std::int64_t left = handed;
  if (client->dataFd_ != CURL_SOCKET_BAD) {
    if (auto info = platform::queryTcpInfo(client->dataFd_))
      left = handed - static_cast<std::int64_t>(info->notSentBytes) -
             static_cast<std::int64_t>(info->unackedBytes);
  }
  s->uploadLeft_ = std::max(s->uploadLeft_, left);
  s->onWork(*w, WorkMode::Write, s->uploadLeft_);
  return got;
}

std::size_t FtpClient::headerCb(char* data, std::size_t size, std::size_t n, void* self) {
  auto* client = static_cast<FtpClient*>(self);
  std::string line(data, size * n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.pop_back();
  client->session_->onReply(line);
  return size * n;
}

int FtpClient::progressCb(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* client = static_cast<FtpClient*>(self);
  client->sampleData(false);
  if (client->session_->killNow()) {
    client->session_->endedByUs_ = true;
    return 1;
  }
  return 0;
}

// A non-blocking connect waited for at most limitMs; curl's own connect time-out would also cover
// the greeting and the login.
bool FtpClient::connectWithin(curl_socket_t fd, const curl_sockaddr* address, int limitMs, int& error) {
  error = 0;
  if (!platform::SetNonBlocking(fd, error)) return false;
  switch (platform::StartConnect(fd, &address->addr, address->addrlen, error)) {
  case platform::ConnectStart::Connected:
    return true;
  case platform::ConnectStart::Failed:
    return false;
  case platform::ConnectStart::InProgress:
    break;
  }
  const std::int64_t deadline = nowMs() + limitMs;
  for (;;) {
    std::int64_t left = deadline - nowMs();
    if (left <= 0) {
      error = platform::TimedOutError();
      return false;
    }
    const int waitMs = static_cast<int>(std::min<std::int64_t>(left, kDrivePollMs));
    platform::WaitResult ready = platform::WaitWritable(fd, waitMs, error);
    if (ready == platform::WaitResult::Interrupted) continue;
    if (ready == platform::WaitResult::Failed) return false;
    if (ready == platform::WaitResult::TimedOut) {
      if (session_->killNow()) {
        error = platform::CancelledError();
        return false;
      }
      continue;
    }
    error = platform::PendingError(fd);
    return error == 0;
  }
}

curl_socket_t FtpClient::openSocketCb(void* self, curlsocktype purpose, curl_sockaddr* address) {
  auto* client = static_cast<FtpClient*>(self);
  (void)purpose;
  int port = platform::AddressPort(&address->addr);
  bool control = port == client->controlPort_;
  // A lost control connection is not silently replaced by a new login: only Connect makes one.
  if (control && !client->allowNewControl_) return CURL_SOCKET_BAD;
  int openError = 0;
  curl_socket_t fd = platform::OpenSocket(address->family, address->socktype, address->protocol, openError);
  if (fd == CURL_SOCKET_BAD) return fd;
  if (control) client->session_->onStatus(hsConnecting);
  // Port 0 is the local end of an active-mode data connection, which curl binds and listens on.
  const bool connect = port > 0 && address->socktype == SOCK_STREAM;
  if (connect) {
    int error = 0;
    if (!client->connectWithin(fd, address, kConnectTimeoutMs, error)) {
      client->connectTimedOut_ = error == platform::TimedOutError();
      client->connectErrno_ = error;
      platform::CloseSocket(fd);
      return CURL_SOCKET_BAD;
    }
  }
  CFTPSession* s = client->session_;
  {
    std::lock_guard<std::mutex> lock(client->socketMutex_);
    client->sockets_.insert(fd);
    if (connect) client->connectedByUs_.insert(fd);
    if (control) { // the connection to the server's port is the control connection of the login
      client->control_ = fd;
      client->controlShut_ = false;
    }
  }
  if (!control && connect && s->phase_ == CFTPSession::Phase::Transfer && s->transfer_) {
    client->dataFd_ = fd;
    client->dataConnection_ = tcpStatsNewConnection();
    client->dataUpload_ = s->transfer_->IsUpload;
    client->lastSampleMs_ = 0;
  }
  return fd;
}

int FtpClient::sockoptCb(void* self, curl_socket_t fd, curlsocktype) {
  auto* client = static_cast<FtpClient*>(self);
  std::lock_guard<std::mutex> lock(client->socketMutex_);
  return client->connectedByUs_.count(fd) ? CURL_SOCKOPT_ALREADY_CONNECTED : CURL_SOCKOPT_OK;
}

void FtpClient::sampleData(bool force) {
  if (dataFd_ == CURL_SOCKET_BAD) return;
  std::int64_t now = nowMs();
  if (!force && now - lastSampleMs_ < 250) return; // a few readings a second are plenty
  lastSampleMs_ = now;
  if (auto info = platform::queryTcpInfo(dataFd_)) tcpStatsRecord(dataConnection_, dataUpload_, *info);
}

int FtpClient::closeSocketCb(void* self, curl_socket_t fd) {
  auto* client = static_cast<FtpClient*>(self);
  if (fd == client->dataFd_) {
    client->sampleData(true); // the connection's final figures
    client->dataFd_ = CURL_SOCKET_BAD;
  }
  std::lock_guard<std::mutex> lock(client->socketMutex_);
  client->sockets_.erase(fd);
  client->connectedByUs_.erase(fd);
  if (fd == client->control_) {
    client->control_ = CURL_SOCKET_BAD;
    client->controlShut_ = false;
  }
  return platform::CloseSocket(fd);
}

// ---- CFTPSession

CFTPSession::CFTPSession() : client_(std::make_unique<FtpClient>(this)) {}

CFTPSession::~CFTPSession() {
  // Every worker's use of the client ends before the client goes.
  closeRequested_ = true;
  closeRequestedAtMs_ = nowMs();
  std::unique_lock<std::mutex> lock(workerMutex_);
  if (worker_) worker_->Terminate();
  while (activeWorkers_ > 0) {
    client_->wakeup();
    workersDone_.wait_for(lock, std::chrono::milliseconds(50));
  }
  worker_.reset();
  lock.unlock();
  { DriveLock last(*client_); }
  client_.reset();
}

CFTPSession::Settings CFTPSession::settings() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return settings_;
}

std::string CFTPSession::Name() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return settings_.name;
}

bool CFTPSession::nameIsFourLong() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return settings_.name.size() == 4;
}

bool CFTPSession::isLead() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return settings_.name == "FTP1" || settings_.name == "FTP4";
}

void CFTPSession::log(const std::string& text) {
  if (onLog_) onLog_(*this, text);
}

template <class T> void CFTPSession::setWhileDisconnected(T Settings::*field, const T& value) {
  if (connected_.load()) return; // ignored without notice while connected
  std::lock_guard<std::mutex> lock(settingsMutex_);
  settings_.*field = value;
}

void CFTPSession::SetName(const std::string& name) {
  setWhileDisconnected(&Settings::name, name);
}
void CFTPSession::SetHost(const std::string& host) {
  setWhileDisconnected(&Settings::host, host);
}
void CFTPSession::SetUsername(const std::string& user) {
  setWhileDisconnected(&Settings::user, user);
}
void CFTPSession::SetPassword(const std::string& password) {
  setWhileDisconnected(&Settings::password, password);
}
void CFTPSession::SetPort(int port) {
  setWhileDisconnected(&Settings::port, port);
}
void CFTPSession::SetPassive(bool passive) {
  setWhileDisconnected(&Settings::passive, passive);
}
void CFTPSession::SetRecvBufferSize(int bytes) {
  setWhileDisconnected(&Settings::recvBuffer, bytes);
}
void CFTPSession::SetSendBufferSize(int bytes) {
  setWhileDisconnected(&Settings::sendBuffer, bytes);
}

void CFTPSession::SetAbortMode(bool abortByDataChannel) {
  if (!connected_.load()) abortByDataChannel_ = abortByDataChannel;
}

void CFTPSession::SetDownloadFile(const std::string& path) {
  if (running_.load()) return;
  std::lock_guard<std::mutex> lock(settingsMutex_);
  settings_.downloadFile = path;
}

void CFTPSession::SetUploadFile(const std::string& path) {
  if (running_.load()) return;
  std::lock_guard<std::mutex> lock(settingsMutex_);
  settings_.uploadFile = path;
}

bool CFTPSession::WorkerActive() const {
  std::lock_guard<std::mutex> lock(workerMutex_);
  return activeWorkers_ > 0;
}

namespace {

bool validHost(const std::string& host) {
  if (host.empty() || host.size() > 253) return false;
  return std::all_of(host.begin(), host.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '_';
  });
}

// Joins a directory and a name relative to the login directory; a leading '/' starts from the root.
std::string joinPath(const std::string& directory, const std::string& name) {
  if (!name.empty() && name.front() == '/') return name;
  if (directory.empty()) return name;
  if (name.empty()) return directory;
  return directory + "/" + name;
}

std::string urlPath(CURL* easy, const std::string& path) {
  std::string out;
  std::size_t start = 0;
  if (!path.empty() && path.front() == '/') {
    out = "%2F"; // an absolute path on the server
    start = 1;
  }
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string segment = path.substr(start, end - start);
    if (char* escaped = curl_easy_escape(easy, segment.c_str(), static_cast<int>(segment.size()))) {
      out += escaped;
      curl_free(escaped);
    }
    if (end < path.size()) out += '/';
    start = end + 1;
  }
  return out;
}

} // namespace

void CFTPSession::prepareRequest(const Settings& s, const std::string& path, bool noBody, bool upload) {
  CURL* easy = client_->easy();
  std::string host = s.host.find(':') != std::string::npos ? "[" + s.host + "]" : s.host;
  std::string url = "ftp://" + host + ":" + std::to_string(s.port) + "/" + urlPath(easy, path);
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_USERNAME, s.user.c_str());
  curl_easy_setopt(easy, CURLOPT_PASSWORD, s.password.c_str());
  // The TCP connect has its own limit (openSocketCb); 0 leaves the login to the reply time-out.
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 0L);
  curl_easy_setopt(easy, CURLOPT_FTPPORT, s.passive ? nullptr : "-");
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(std::clamp(s.recvBuffer, 1024, 10 << 20)));
  curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE,
                   static_cast<long>(std::clamp(s.sendBuffer, 16384, 2 << 20)));
  curl_easy_setopt(easy, CURLOPT_NOBODY, noBody ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_UPLOAD, upload ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(-1));
  client_->setControlTarget(s.port);
  client_->clearError();
  client_->clearConnectResult();
  lastReply_.clear();
  endedByUs_ = false;
}

bool CFTPSession::killNow() const {
  if (transfer_ && transfer_->Terminated()) return true;
  // A cancelled owner gets no grace period, not even for an upload's STOR.
  if (cancelCheck_ && cancelCheck_()) return true;
  if (!closeRequested_.load()) return false;
  // An upload that was told to end finishes its STOR first, for a short while.
  if (uploadFinishing_.load() || (transfer_ && transfer_->IsUpload && abortRequested_.load()))
    return nowMs() - closeRequestedAtMs_.load() > kUploadFinishGraceMs;
  return true;
}

int CFTPSession::drive() {
  CURLM* multi = client_->multi();
  CURL* easy = client_->easy();
  client_->driver = std::this_thread::get_id();
  curl_multi_add_handle(multi, easy);
  CURLcode result = CURLE_OK;
  bool finished = false;
  std::int64_t pauseUs = kBatchPauseUs;
  bool paused = false;
  while (!finished) {
    int active = 0;
    std::int64_t before = transferred_.load();
    curl_multi_perform(multi, &active);
    std::int64_t moved = transferred_.load() - before;
    // What piled up during a pause sets the next one, so that about a batch piles up: on a fast line a
    // whole pause would fill the socket's receive window and hold the sender back.
    if (paused) {
      paused = false;
      pauseUs = std::clamp<std::int64_t>(pauseUs * kBatchBytes / std::max<std::int64_t>(moved, 1),
                                         kShortestPauseUs / 2, kBatchPauseUs);
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
      if (msg->msg == CURLMSG_DONE) {
        result = msg->data.result;
        finished = true;
      }
    }
    if (finished) break;
    if (killNow()) {
      endedByUs_ = true;
      result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    // A download that trickles in small pieces is read in batches: waking for every segment would cost
    // more processor time than the data itself. A full buffer is read again at once. (An upload moves
    // what the socket's send buffer takes, so it is never held back.)
    if (moved > 0 && moved < kBatchBytes && transfer_ && !transfer_->IsUpload) {
      if (pauseUs >= kShortestPauseUs) std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
      paused = true;
    }
    curl_multi_poll(multi, nullptr, 0, kDrivePollMs, nullptr);
  }
  // Removing an unfinished request drops its connection; curl sends nothing more on it.
  curl_multi_remove_handle(multi, easy);
  client_->driver = std::thread::id{};
  return static_cast<int>(result);
}

void CFTPSession::markDisconnected() {
  if (!connected_.exchange(false)) return;
  onStatus(hsDisconnecting);
  onStatus(hsDisconnected);
  if (onDisconnected_) onDisconnected_(*this);
}

void CFTPSession::closeControl() {
  client_->shutdownControl();
  markDisconnected();
}

// After each request: serve a pending close request, and notice a control connection curl dropped.
void CFTPSession::afterDrive() {
  if (closeRequested_.load()) {
    closeControl();
    closeRequested_ = false;
  } else if (!client_->controlOpen()) {
    markDisconnected();
  }
}

void CFTPSession::requestClose() {
  closeRequestedAtMs_ = nowMs();
  closeRequested_ = true;
  if (client_->holder.load() == std::this_thread::get_id()) {
    // Inside a curl callback of this session's own request the driving loop closes when it returns;
    // in a handler raised between requests the connection is closed here.
    if (client_->driver.load() == std::this_thread::get_id()) return;
    closeControl();
    closeRequested_ = false;
    return;
  }
  std::int64_t deadline = nowMs() + kDisconnectWaitMs;
  while (closeRequested_.load()) {
    std::unique_lock<std::mutex> guard(client_->driveMutex, std::try_to_lock);
    if (guard.owns_lock()) {
      client_->holder = std::this_thread::get_id();
      if (closeRequested_.load()) {
        closeControl();
        closeRequested_ = false;
      }
      client_->holder = std::thread::id{};
      return;
    }
    client_->wakeup();
    if (nowMs() > deadline) return; // the driving thread closes once it gets out of its wait
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool CFTPSession::Connect() {
  if (client_->controlOpen() || closeRequested_.load()) requestClose();
  connected_ = false;
  log("> Connect() !!!!!");
  Settings s = settings();
  // The host comes from the service's document: only a name or an address goes into the address.
  if (!validHost(s.host) || s.port <= 0 || s.port > 65535) return !isLead();
  ErrorKind kind;
  {
    DriveLock guard(*client_);
    closeRequested_ = false;
    prepareRequest(s, "", true, false);
    curl_easy_setopt(client_->easy(), CURLOPT_FRESH_CONNECT, 1L);
    client_->allowNewControl(true);
    phase_ = Phase::Connecting;
    onStatus(hsResolving);
    int rc = drive();
    kind = classify(rc);
    phase_ = Phase::Idle;
    client_->allowNewControl(false);
    curl_easy_setopt(client_->easy(), CURLOPT_FRESH_CONNECT, 0L);
    if (kind == ErrorKind::None && !client_->controlOpen()) kind = ErrorKind::Other;
    if (kind != ErrorKind::None) {
      client_->shutdownAll();
      closeRequested_ = false;
    } else if (closeRequested_.load()) {
      client_->shutdownControl(); // a disconnect arrived while logging in
      closeRequested_ = false;
      kind = ErrorKind::Other;
    }
  }
  if (kind != ErrorKind::None) return !isLead();
  {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    settings_.directory.clear(); // a fresh login starts in the login directory
  }
  connected_ = true;
  if (onConnected_) onConnected_(*this);
  return true;
}

void CFTPSession::Disconnect() {
  log("> Disconnect() !!!!!");
  requestClose();
}

bool CFTPSession::ChangeDir(const std::string& directory) {
  if (!client_->controlOpen()) return false;
  log("> ChangeDir() !!!!!");
  Settings s = settings();
  std::string target = joinPath(s.directory, directory);
  int rc;
  {
    DriveLock guard(*client_);
    prepareRequest(s, target + "/", true, false);
    phase_ = Phase::Command;
    rc = drive();
    phase_ = Phase::Idle;
    afterDrive();
  }
  if (rc != CURLE_OK) return false;
  std::lock_guard<std::mutex> lock(settingsMutex_);
  settings_.directory = target;
  return true;
}

void CFTPSession::terminateWorker() {
  std::lock_guard<std::mutex> lock(workerMutex_);
  if (worker_) {
    worker_->Terminate(); // never waited for; the client lock orders the old transfer before the new
    client_->wakeup();
  }
}

void CFTPSession::StartDownload() {
  // An older transfer still holding the client is told to end first, so the size query can run.
  terminateWorker();
  Settings s = settings();
  std::string path = joinPath(s.directory, s.downloadFile);
  int rc = CURLE_OK;
  ErrorKind kind = ErrorKind::None;
  std::string failure;
  {
    DriveLock guard(*client_);
    if (!client_->controlOpen()) {
      kind = ErrorKind::Other;
      failure = "FtpError - Not connected.";
    } else {
      prepareRequest(s, path, true, false);
      phase_ = Phase::Command;
      rc = drive();
      phase_ = Phase::Idle;
      kind = classify(rc);
      if (kind != ErrorKind::None) {
        failure = errorText(rc, kind);
        // The session counts as disconnected from here on, so it keeps no connection either.
        client_->shutdownControl();
        connected_ = false; // without a disconnected event: the one log line tells the story
      }
      curl_off_t size = -1;
      curl_easy_getinfo(client_->easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
      knownSize_ = kind == ErrorKind::None ? static_cast<std::int64_t>(size) : -1;
      afterDrive();
    }
  }
  if (kind != ErrorKind::None) {
    log(failure);
    connected_ = false;
    return;
  }
  workBeginCount_ = 0;
  running_ = true;
  isUpload_ = false;
  resetPhaseTotal();
  startWorker(false, path);
}

void CFTPSession::StartUpload() {
  terminateWorker();
  Settings s = settings();
  workBeginCount_ = 0;
  running_ = true;
  isUpload_ = true;
  resetPhaseTotal();
  startWorker(true, joinPath(s.directory, s.uploadFile));
}

// Only the lead's start begins a phase: a session that starts later, perhaps after the lead's first
// reports, adds to the phase's total. Resetting it then would make the lead's next report negative.
void CFTPSession::resetPhaseTotal() {
  if (!isLead()) return;
  std::lock_guard<std::mutex> lock(CounterLock);
  TotalBytes = 0;
}

void CFTPSession::RequestAbort() {
  abortRequested_ = true;
}

void CFTPSession::startWorker(bool upload, const std::string& remoteFile) {
  auto worker = std::make_shared<TFTPThread>(this, remoteFile, upload);
  {
    std::lock_guard<std::mutex> lock(workerMutex_);
    if (worker_) worker_->Terminate();
    worker_ = worker;
    ++activeWorkers_;
  }
  worker->Resume();
}

void CFTPSession::workerFinished() {
  std::lock_guard<std::mutex> lock(workerMutex_);
  --activeWorkers_;
  workersDone_.notify_all();
}

CFTPSession::ErrorKind CFTPSession::classify(int code) const {
  switch (static_cast<CURLcode>(code)) {
  case CURLE_OK:
    return ErrorKind::None;
  case CURLE_OPERATION_TIMEDOUT:
    return phase_ == Phase::Connecting ? ErrorKind::ConnectTimeout : ErrorKind::Socket;
  case CURLE_COULDNT_CONNECT:
    if (client_->connectTimedOut()) return ErrorKind::ConnectTimeout;
    if (client_->connectErrno() != 0) return ErrorKind::Socket;
    [[fallthrough]];
  case CURLE_SEND_ERROR:
  case CURLE_RECV_ERROR:
  case CURLE_GOT_NOTHING: {
    long os = 0;
    curl_easy_getinfo(client_->easy(), CURLINFO_OS_ERRNO, &os);
    return os != 0 ? ErrorKind::Socket : ErrorKind::Other;
  }
  default:
    break;
  }
  long reply = 0;
  curl_easy_getinfo(client_->easy(), CURLINFO_RESPONSE_CODE, &reply);
  return reply >= 400 ? ErrorKind::Reply : ErrorKind::Other;
}

std::string CFTPSession::errorText(int code, ErrorKind kind) const {
  switch (kind) {
  case ErrorKind::Socket: {
    long os = client_->connectErrno();
    if (os == 0) curl_easy_getinfo(client_->easy(), CURLINFO_OS_ERRNO, &os);
    if (os == 0) os = platform::TimedOutError();
    return platform::SocketErrorText(static_cast<int>(os));
  }
  case ErrorKind::Reply:
    return "FtpReplyError - " + lastReply_;
  case ErrorKind::ConnectTimeout:
    return "FtpConnectTimeout - Connect timed out.";
  default: {
    std::string message =
        client_->error()[0] ? client_->error() : curl_easy_strerror(static_cast<CURLcode>(code));
    return "FtpError - " + message;
  }
  }
}

void CFTPSession::runTransfer(TFTPThread& worker) {
  Settings s = settings();
  WorkMode mode = worker.IsUpload ? WorkMode::Write : WorkMode::Read;
  if (worker.IsUpload) {
    std::size_t n = 20 * static_cast<std::size_t>(std::max(1, s.sendBuffer));
    worker.UploadStream.fill('*', n);
    worker.UploadStream.setPosition(0);
    worker.HasUploadStream = true;
  } else {
    worker.DownloadStream.clear();
  }
  int rc = CURLE_COULDNT_CONNECT;
  bool begun = false;
  if (client_->controlOpen()) {
    prepareRequest(s, worker.RemoteFile, false, worker.IsUpload);
    transfer_ = &worker;
    sendChunk_ = static_cast<std::size_t>(std::max(1, s.sendBuffer));
    cumulative_ = 0;
    uploadLeft_ = 0;
    begun_ = false;
    uploadFinishing_ = false;
    phase_ = Phase::Transfer;
    rc = drive();
    transferring_ = false;
    phase_ = Phase::Idle;
    transfer_ = nullptr;
    begun = begun_;
  }
  ErrorKind kind = classify(rc);
  bool aborted = endedByUs_ && kind != ErrorKind::None;
  if (begun) {
    onWorkEnd(mode);
    onStatus(aborted || kind != ErrorKind::None ? ftpAborted : ftpReady);
  }
  if (!worker.IsUpload && kind == ErrorKind::None && onLog_) {
    log(s.name + " Event:AfterGet()");
    log("");
  }
  // Failures are not reported; a broken connection is closed so the engine sees it disconnected.
  if (!aborted && kind != ErrorKind::None) {
    bool close = worker.IsUpload ? kind == ErrorKind::Reply : kind != ErrorKind::Reply;
    if (close) closeControl();
  }
  uploadFinishing_ = false;
  afterDrive();
}

// ---- events

void CFTPSession::onStatus(int code) {
  if (!onLog_) return;
  log(code >= 0 && code <= ftpAborted ? kStatusNames[code] : "Unknown");
}

std::optional<FtpReplyLine> ParseFtpReplyLine(const std::string& line) {
  if (line.size() < 3) return std::nullopt;
  FtpReplyLine reply;
  reply.final = line.size() == 3 || line[3] == ' ';
  reply.code = std::atoi(line.substr(0, 3).c_str());
  std::size_t open = line.rfind('(');
  if (open != std::string::npos) {
    // Digits only: strtoll would also take blanks, a sign and an overflow clamped to its limit.
    std::size_t digits = open + 1;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9')
      ++digits;
    if (digits > open + 1 && digits - open - 1 <= 18 && line.compare(digits, 6, " bytes") == 0)
      reply.announcedSize = std::strtoll(line.c_str() + open + 1, nullptr, 10);
  }
  return reply;
}

void CFTPSession::onReply(const std::string& line) {
  std::optional<FtpReplyLine> reply = ParseFtpReplyLine(line);
  if (!reply) return;
  lastReply_ = line;
  if (!reply->final) return;
  int code = reply->code;
  if (phase_ == Phase::Connecting) {
    if (code == 220) onStatus(hsConnected);
    if (code == 230 && onLog_) log(Name() + " Event:AfterClientLogin()");
  } else if (phase_ == Phase::Transfer && (code == 125 || code == 150)) {
    std::int64_t expected = transfer_ && transfer_->IsUpload
                                ? static_cast<std::int64_t>(transfer_->UploadStream.size())
                                : knownSize_.load();
    if (transfer_ && !transfer_->IsUpload && reply->announcedSize >= 0) expected = reply->announcedSize;
    beginTransferOnce(expected);
  }
}

void CFTPSession::beginTransferOnce(std::int64_t expectedSize) {
  if (begun_ || !transfer_) return;
  begun_ = true;
  onStatus(ftpTransfer);
  onWorkBegin(transfer_->IsUpload ? WorkMode::Write : WorkMode::Read, expectedSize);
}

void CFTPSession::onWorkBegin(WorkMode mode, std::int64_t expectedSize) {
  if (!running_.load()) return;
  transferring_ = true;
  if (isLead()) {
    startTime_ = Clock::now();
    lastReportTime_ = startTime_;
    {
      std::lock_guard<std::mutex> lock(CounterLock);
      ElapsedMs = 0;
      TotalBytes = 0;
      ReportedBytes = 0;
    }
    currentRate_ = 0;
  }
  lastWorkCount_ = 0;
  if (onLog_) {
    int count = ++workBeginCount_;
    std::string name = Name();
    log(name + textNth() + std::to_string(count) + textTimesDownload());
    log(name + " " + timeOfDay() + " " + (mode == WorkMode::Read ? "wmRead" : "wmWrite") +
        " WorkBegin() - WorkCountMax = " + std::to_string(static_cast<std::int32_t>(expectedSize)));
  }
}

bool CFTPSession::onWork(TFTPThread& worker, WorkMode mode, std::int64_t count) {
  if (!nameIsFourLong() || !running_.load()) return true;
  if (abortRequested_.load()) {               // 64-bit counts: a transfer of any length goes on
    if (mode == WorkMode::Read) return false; // curl closes the data connection (see runTransfer)
    worker.UploadStream.setPosition(worker.UploadStream.size());
    uploadFinishing_ = true;
    return true;
  }
  if (mode == WorkMode::Read)
    worker.DownloadStream.setPosition(0);
  else if (worker.HasUploadStream)
    worker.UploadStream.setPosition(0);

  std::int64_t last = lastWorkCount_.load();
  if (last > count) last = 0;
  {
    std::lock_guard<std::mutex> lock(CounterLock);
    TotalBytes += count - last;
  }
  lastWorkCount_ = count;

  if (!onProgress_) return true;
  std::string name = Name();
  if (!((mode == WorkMode::Read && name == "FTP4") || (mode == WorkMode::Write && name == "FTP1")))
    return true;
  Clock::time_point now = Clock::now();
  std::int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastReportTime_).count();
  if (ms < 1000) return true;
  lastReportTime_ = now;
  std::int64_t delta, total, elapsed;
  {
    std::lock_guard<std::mutex> lock(CounterLock);
    delta = TotalBytes - ReportedBytes;
    ReportedBytes = TotalBytes;
    ElapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - startTime_).count();
    total = TotalBytes;
    elapsed = ElapsedMs;
  }
  currentRate_ = static_cast<double>(delta) * 8000.0 / static_cast<double>(ms);
  onProgress_(*this, mode, total, elapsed, currentRate_);
  return true;
}

void CFTPSession::onWorkEnd(WorkMode) {
  transferring_ = false;
  if (!nameIsFourLong() || !running_.load()) return;
  lastWorkCount_ = 0;
  // An aborted transfer leaves the running state whether or not anyone listens to the log.
  if (abortRequested_.exchange(false)) running_ = false;
}

// ---- TFTPThread

TFTPThread::TFTPThread(CFTPSession* session, std::string remoteFile, bool isUpload)
    : RemoteFile(std::move(remoteFile)), IsUpload(isUpload), session_(session) {}

void TFTPThread::Execute() {
  struct Finish {
    CFTPSession* session;
    ~Finish() { session->workerFinished(); } // the last touch of the session
  } finish{session_};
  if (!session_->client_ || !session_->nameIsFourLong()) return;
  DriveLock guard(*session_->client_);
  if (Terminated()) return;
  session_->runTransfer(*this);
}

} // namespace zelvo
