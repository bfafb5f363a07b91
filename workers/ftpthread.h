#pragma once
// FTP transfer sessions of the speed test (CFTPSession, each transfer run by one TFTPThread) over
// libcurl, with the process-wide byte accounting of the running phase and the lead session's progress
// reports.
//
// Threads: the engine's thread calls the setters, Connect, ChangeDir, the start operations and the
// destructor; a transfer is driven by its worker thread, which raises the work events and therefore
// runs OnProgress. RequestAbort and Disconnect may be called from any thread, also from inside a
// handler: Disconnect asks the thread that drives the connection to close it and waits for that at most
// a few seconds. No lock of this module is held while a handler runs.

#include "platform/thread.h"
#include "workers/transfersession.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelvo {

// The accounting of the running phase, one instance for all sessions of the process (the download and
// upload phases never overlap). All three values are guarded by one lock.
struct FtpCounters {
  std::int64_t TotalBytes = 0;
  std::int64_t ReportedBytes = 0;
  std::int64_t ElapsedMs = 0;
};
// A consistent copy of the three values.
FtpCounters ftpCounters();

// One line of a control-channel reply from the server: its code, whether it ends the reply, and the
// size a transfer reply announces as "(N bytes)" (-1 when it names none or no sane one).
struct FtpReplyLine {
  int code = 0;
  bool final = false;
  std::int64_t announcedSize = -1;
};
// None for a line too short to hold a code.
std::optional<FtpReplyLine> ParseFtpReplyLine(const std::string& line);

// A growable memory buffer with a read/write position.
class MemoryStream {
public:
  void clear();
  void write(const char* data, std::size_t size);
  std::size_t read(char* data, std::size_t size);
  void fill(char byte, std::size_t size);
  void setPosition(std::size_t position);
  std::size_t position() const { return position_; }
  std::size_t size() const { return data_.size(); }
  std::size_t capacity() const { return data_.capacity(); }

private:
  std::vector<char> data_;
  std::size_t position_ = 0;
};

class FtpClient;
class TFTPThread;

class CFTPSession final : public TransferSession {
public:
  CFTPSession();
  ~CFTPSession() override;
  CFTPSession(const CFTPSession&) = delete;
  CFTPSession& operator=(const CFTPSession&) = delete;

  void SetName(const std::string& name) override;
  void SetHost(const std::string& host) override;
  void SetUsername(const std::string& user) override;
  void SetPassword(const std::string& password) override;
  void SetPort(int port) override;
  void SetPassive(bool passive) override;
  void SetRecvBufferSize(int bytes) override;
  void SetSendBufferSize(int bytes) override;
  void SetAbortMode(bool abortByDataChannel) override;
  void SetDownloadFile(const std::string& path) override;
  void SetUploadFile(const std::string& path) override;

  bool Connect() override;
  void Disconnect() override;
  bool ChangeDir(const std::string& directory) override;
  void StartDownload() override;
  void StartUpload() override;
  void RequestAbort() override;

  bool Connected() const override { return connected_.load(); }
  bool Running() const override { return running_.load(); }
  bool Transferring() const override { return transferring_.load(); }
  std::string Name() const override;

  void SetOnLog(LogHandler handler) override { onLog_ = std::move(handler); }
  void SetOnConnected(EventHandler handler) override { onConnected_ = std::move(handler); }
  void SetOnDisconnected(EventHandler handler) override { onDisconnected_ = std::move(handler); }
  void SetOnProgress(ProgressHandler handler) override { onProgress_ = std::move(handler); }
  void SetCancelCheck(std::function<bool()> cancelled) override { cancelCheck_ = std::move(cancelled); }

  // Beyond the engine's needs, for measurements and tests: bytes the client handed over or took in
  // (all transfers of this session, counted apart from the phase accounting), and whether a worker of
  // this session still runs.
  std::int64_t TransferredBytes() const { return transferred_.load(); }
  bool WorkerActive() const;
  bool AbortRequested() const { return abortRequested_.load(); }

private:
  friend class FtpClient;
  friend class TFTPThread;
  using Clock = std::chrono::steady_clock;
  enum class Phase { Idle, Connecting, Command, Transfer };
  enum class ErrorKind { None, ConnectTimeout, Reply, Socket, Other };

  struct Settings {
    std::string name = "FTP", host, user, password;
    int port = 21;
    bool passive = true;
    int recvBuffer = 131072, sendBuffer = 32768;
    std::string downloadFile, uploadFile, directory;
  };
  Settings settings() const;
  template <class T> void setWhileDisconnected(T Settings::*field, const T& value);
  bool nameIsFourLong() const;
  bool isLead() const;
  void resetPhaseTotal();
  void log(const std::string& text);

  // Runs one libcurl request to its end on the calling thread, which must hold the client's drive lock.
  int drive();
  bool killNow() const;
  void prepareRequest(const Settings& s, const std::string& path, bool noBody, bool upload);
  void afterDrive();
  void closeControl(); // caller holds the drive lock
  void markDisconnected();
  void requestClose();
  void terminateWorker();
  void startWorker(bool upload, const std::string& remoteFile);
  void runTransfer(TFTPThread& worker);
  void workerFinished();
  ErrorKind classify(int code) const;
  std::string errorText(int code, ErrorKind kind) const;

  // Client events (on the thread that drives the client).
  void onStatus(int code);
  void onReply(const std::string& line);
  void onWorkBegin(WorkMode mode, std::int64_t expectedSize);
  bool onWork(TFTPThread& worker, WorkMode mode, std::int64_t count); // false: end the data flow now
  void onWorkEnd(WorkMode mode);
  void beginTransferOnce(std::int64_t expectedSize);

  std::unique_ptr<FtpClient> client_;
  mutable std::mutex settingsMutex_;
  Settings settings_;

  LogHandler onLog_;
  EventHandler onConnected_, onDisconnected_;
  ProgressHandler onProgress_;
  std::function<bool()> cancelCheck_;

  std::atomic<bool> abortByDataChannel_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> transferring_{false};
  std::atomic<bool> abortRequested_{false};
  std::atomic<bool> isUpload_{false};
  std::atomic<std::int32_t> workBeginCount_{0};
  std::atomic<std::int64_t> lastWorkCount_{0};
  std::atomic<std::int64_t> transferred_{0};
  std::atomic<std::int64_t> knownSize_{-1};

  // Lead session only, touched by its worker thread.
  Clock::time_point startTime_, lastReportTime_;
  double currentRate_ = 0;

  // Close requests from other threads, served by the driving thread.
  std::atomic<bool> closeRequested_{false};
  std::atomic<std::int64_t> closeRequestedAtMs_{0};

  // State of the request being driven (driving thread only).
  Phase phase_ = Phase::Idle;
  TFTPThread* transfer_ = nullptr;
  std::int64_t cumulative_ = 0;
  std::int64_t uploadLeft_ = 0; // bytes of the upload that have left the machine
  std::size_t sendChunk_ = 32768;
  bool begun_ = false;
  bool endedByUs_ = false;
  std::atomic<bool> uploadFinishing_{false};
  std::string lastReply_;

  mutable std::mutex workerMutex_;
  std::condition_variable workersDone_;
  std::shared_ptr<TFTPThread> worker_;
  int activeWorkers_ = 0;
};

// One transfer of a session: a download into the rewinding sink or an upload of the endless buffer of
// asterisks. Created suspended, started with Resume, frees itself when Execute returns. The session
// waits for every worker it started before it destroys its client.
class TFTPThread final : public platform::Thread {
public:
  TFTPThread(CFTPSession* session, std::string remoteFile, bool isUpload);

  MemoryStream DownloadStream;
  MemoryStream UploadStream;
  bool HasUploadStream = false;
  const std::string RemoteFile;
  const bool IsUpload;

protected:
  // Runs on the worker's own thread.
  void Execute() override;

private:
  CFTPSession* session_; // valid until workerFinished(): the session's destructor waits for it
};

} // namespace zelvo
