#pragma once
// What the engine needs of one parallel FTP transfer session. CFTPSession implements it over libcurl;
// the engine's tests give their own.

#include <cstdint>
#include <functional>
#include <string>

namespace zelvo {

// Work modes of a transfer: read = data received (download), write = data sent (upload).
enum class WorkMode { Read, Write };

class TransferSession {
public:
  using EventHandler = std::function<void(TransferSession& sender)>;
  using LogHandler = std::function<void(TransferSession& sender, const std::string& text)>;
  // Runs on the lead session's worker thread: the phase's total bytes, the milliseconds since the
  // phase's first work begin and the rate of the last interval in bit/s.
  using ProgressHandler = std::function<void(TransferSession& sender, WorkMode mode, std::int64_t totalBytes,
                                             std::int64_t elapsedMs, double bitsPerSecond)>;

  virtual ~TransferSession() = default;

  // Setters of the connection take effect only while not Connected; the file setters only while not
  // Running. A call at another time is ignored.
  virtual void SetName(const std::string& name) = 0;
  virtual void SetHost(const std::string& host) = 0;
  virtual void SetUsername(const std::string& user) = 0;
  virtual void SetPassword(const std::string& password) = 0;
  virtual void SetPort(int port) = 0;
  virtual void SetPassive(bool passive) = 0;
  virtual void SetRecvBufferSize(int bytes) = 0;
  virtual void SetSendBufferSize(int bytes) = 0;
  virtual void SetAbortMode(bool abortByDataChannel) = 0;
  virtual void SetDownloadFile(const std::string& path) = 0;
  virtual void SetUploadFile(const std::string& path) = 0;

  // False only when a lead session ("FTP1", "FTP4") could not connect and log in.
  virtual bool Connect() = 0;
  // Callable from any thread, also from inside the progress handler.
  virtual void Disconnect() = 0;
  // False when the server refused the directory or the connection failed.
  virtual bool ChangeDir(const std::string& directory) = 0;
  virtual void StartDownload() = 0;
  virtual void StartUpload() = 0;
  // Callable from any thread; the transfer ends at its next work event.
  virtual void RequestAbort() = 0;

  virtual bool Connected() const = 0;
  virtual bool Running() const = 0;
  // True while the transfer's data flows: from its first work begin until its work end.
  virtual bool Transferring() const = 0;
  virtual std::string Name() const = 0;

  // Handlers are attached before the first Connect.
  virtual void SetOnLog(LogHandler handler) = 0;
  virtual void SetOnConnected(EventHandler handler) = 0;
  virtual void SetOnDisconnected(EventHandler handler) = 0;
  virtual void SetOnProgress(ProgressHandler handler) = 0;
  // Asked by whichever thread drives the session (connect, commands, transfers) at least every 50 ms;
  // once it answers true, the request under way ends at once, as if aborted. Attached before the
  // first Connect.
  virtual void SetCancelCheck(std::function<bool()> cancelled) = 0;
};

} // namespace zelvo
