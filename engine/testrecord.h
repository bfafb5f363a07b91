#pragma once
// The one shared record of a test's results, inputs and hand-over bytes, the engine's module-wide test
// settings, the error codes and the engine's message numbers.
//
// Texts are CP950 bytes. Fields that one thread writes while another polls them are atomic; the
// others are handed over by a message or by one of the atomic gates (whoever writes them does so
// before posting the message or setting the gate).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace zelvo {

// Outcome codes of a run, indexes of the window's message tables.
enum ErrorCode : std::int8_t {
  kNoError = 0,
  kUploadTooLittle = 1,
  kDownloadTooLittle = 2,
  kNotSetByAnyStep = 3,
  kResultOutOfRange = 4,
  kReportNotAccepted = 5,
  kServiceDocumentFailed = 6,
  kNoSessionStarted = 7,
  kNoConnectedAdapter = 8,
  kTestDocumentFailed = 9,
  kTestDenied = 10,
  kLatencyTimeout = 11,
  kUploadNothingPppoeMtu = 12,
  kUploadNothingNotPppoe = 13,
};
inline constexpr int kErrorCodeCount = 14;

// Engine messages: WM_USER (1024) plus 1 to 13.
inline constexpr unsigned kWmUser = 1024;
inline constexpr unsigned kMsgVersion = kWmUser + 1;        // 1025: version verdict, or codes 6 and 11
inline constexpr unsigned kMsgResult = kWmUser + 5;         // 1029: end of the run
inline constexpr unsigned kMsgPhase = kWmUser + 6;          // 1030: phase start (sent) and progress
inline constexpr unsigned kMsgUnused1031 = kWmUser + 7;     // 1031: handled by the window, never sent
inline constexpr unsigned kMsgDenied = kWmUser + 8;         // 1032: test not permitted
inline constexpr unsigned kMsgNotice = kWmUser + 10;        // 1034: progress notice
inline constexpr unsigned kMsgServiceStored = kWmUser + 11; // 1035: service document stored
inline constexpr unsigned kMsgReporting = kWmUser + 12;     // 1036: report about to be posted
inline constexpr unsigned kMsgTestDocFailed = kWmUser + 13; // 1037: test document failed (code 9)

struct TestRecord {
  // Latency measurement state (written by the window's latency sequence).
  std::int32_t pingRound = 0, pingCount = 0, pingLost = 0, pingMaxMs = 0, pingMinMs = 0, pingSumMs = 0;

  std::atomic<std::uint8_t> introPending{0};
  std::atomic<std::uint8_t> profilePending{0};
  std::atomic<std::uint8_t> windowAck{0};
  std::atomic<std::uint8_t> termsAccepted{0};
  std::atomic<std::uint8_t> autoTest{0};
  std::atomic<std::uint8_t> downloadDone{0};
  std::atomic<std::uint8_t> uploadDone{0};

  std::string appVersion;
  std::string announcementText;
  std::string adUrl1, adUrl2, adEndUrl, infoUrl, updateUrl;
  std::string resultSerial, resultTime;

  // Mean round-trip time in ms, -1 when unknown; the engine reads it while the window measures.
  std::atomic<float> pingAvgMs{0.0f};

  std::string osCaption, csdVersion;
  std::string proxyServer;
  std::int32_t tcp1323Opts = 0, globalMaxTcpWindowSize = 0, tcpWindowSize = 0, enablePmtuDiscovery = 0,
               defaultReceiveWindows = 0;
  std::int32_t bestIfPos = 0;

  // Memory and processor samples, taken by the window at each progress notice while the engine runs.
  std::atomic<std::int32_t> availMemSumMb{0};
  std::int32_t totalMemMb = 0;
  std::atomic<std::int32_t> sampleCount{0};
  std::atomic<double> cpuLoadSum{0.0};

  std::string cpuName, systemDrive;
  float diskFreeGb = 0.0f;
  std::string powerStatus;

  // The TCP settings and the MTU as decimal texts, parts of netParameters.
  std::string tcp1323OptsText, globalMaxTcpWindowSizeText, tcpWindowSizeText, defaultReceiveWindowsText,
      enablePmtuDiscoveryText, mtuText;

  std::string pingSummary;
  std::string localIp, connectionType, nicDescription;
  std::uint32_t nicMtu = 0, nicRateKbps = 0;

  // The window's profile (vGetSystemInfo) replaces the profile values above while a repeated run's
  // engine may read them: the profile holds this for its whole run, readers while they copy or use
  // a value, so each is read whole and from one profile.
  std::mutex profileMutex;

  // FTP rates in kbit/s; written by the lead session's worker, read after the done flags.
  double downloadSpeed = 0.0, uploadSpeed = 0.0;

  std::string netParameters, antivirus;
  std::string agreementText;

  std::atomic<std::int8_t> errorCode{0};
};

// The engine's module-wide test settings: from the test document, or the fallback values.
struct TestParameters {
  std::string url;
  std::string uid = "ftp";
  std::string pwd = "kqv";
  std::int32_t ul_duration = 10;
  std::int32_t dl_duration = 10;
  std::int32_t timeout = 30;
  std::int32_t ul_session = 1;
  std::int32_t dl_session = 3;
  std::string ul_path = "/uploads";
  std::string dl_path = "/test_1024m.zip";
  double dlBitsPerSecond = 0.0;
  double ulBitsPerSecond = 0.0;

  // The fallback values, with url set to the given host.
  static TestParameters Fallback(const std::string& host) {
    TestParameters p;
    p.url = host;
    return p;
  }
};

} // namespace zelvo
