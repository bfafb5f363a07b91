#include "cli/console.h"

#include "engine/config.h"
#include "engine/document.h"
#include "frontend/speeddisplay.h"
#include "platform/icmp.h"
#include "workers/tcpstats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <sstream>

namespace zelvo {

namespace {

constexpr int kExitUpdateRequired = 14;
constexpr int kExitInterrupted = 130;
constexpr int kExitTermsRefused = 15;

std::string Format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// "12,34,,7" as a JSON array; an empty entry (a rate that rounded to nothing) is null.
std::string JsonNumberList(const std::string& list) {
  std::string out = "[";
  if (!list.empty()) {
    std::size_t start = 0;
    for (;;) {
      std::size_t comma = list.find(',', start);
      std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      bool number = !item.empty() && item.find_first_not_of("-0123456789") == std::string::npos;
      out += number ? item : "null";
      if (comma == std::string::npos) break;
      out += ",";
      start = comma + 1;
    }
  }
  return out + "]";
}

std::string JsonNumber(double v) {
  return std::isfinite(v) ? Format("%.2f", v) : "null";
}

// Neither a raw ICMP socket (no cap_net_raw) nor a datagram one (the group outside
// net.ipv4.ping_group_range) may be opened: without this the user only learns that the probe timed out.
constexpr const char* kEchoNotPermitted =
    "延遲量測無法送出 ICMP 封包：程式沒有 cap_net_raw 權限，系統也不允許這個使用者的群組使用 ICMP "
    "資料包通訊端。請以 zelvo-speedtest 套件安裝本程式（套件會給它這項權限），或把 "
    "net.ipv4.ping_group_range 設為包含你的群組（例如 sudo sysctl -w "
    "net.ipv4.ping_group_range=\"0 2147483647\"）。";

} // namespace

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
        out += buffer;
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  return out + "\"";
}

ConsolePresenter::ConsolePresenter(ConsoleOptions options, std::ostream& out, std::ostream& err,
                                   std::function<std::string(const std::string&)> toTerminal)
    : options_(options), out_(out), err_(err), toTerminal_(std::move(toTerminal)) {}

std::string ConsolePresenter::errorCaption(int code) const {
  return text(decodeLetterPairs(BuiltInCaption(code)));
}
std::string ConsolePresenter::errorText(int code) const {
  return text(decodeLetterPairs(BuiltInText(code)));
}

void ConsolePresenter::endProgressLine() {
  if (progressLineOpen_) {
    out_ << "\n";
    progressLineOpen_ = false;
  }
}

void ConsolePresenter::observe(RunObserver& observer) {
  observer_ = &observer;
  observer.onEvent = [this](const RunObserver::Event& e) { onObserverEvent(e); };
}

void ConsolePresenter::present(const EngineMessage& m) {
  if (exitStatus_) return;
  if (observer_) observer_->onMessage(m);
  switch (m.message) {
  case kMsgVersion:
    onVerdict(m);
    break;
  case kMsgPhase:
    onProgress(m);
    break;
  case kMsgResult:
    onResult(m);
    break;
  case kMsgDenied:
    fail(controller_ ? static_cast<int>(controller_->record().errorCode.load())
                     : static_cast<int>(kTestDenied));
    break;
  case kMsgReporting:
    endProgressLine();
    if (human()) out_ << "分析資料中…\n" << std::flush;
    break;
  case kMsgTestDocFailed:
    if (human()) out_ << "無法取得測試設定，改以預設值測試；這次的結果不會上傳。\n" << std::flush;
    break;
  default:
    break;
  }
}

void ConsolePresenter::onVerdict(const EngineMessage& m) {
  TestRecord& r = controller_->record();
  if (options_.format == OutputFormat::Jsonl)
    printEvent("verdict", ",\"verdict\":" + std::to_string(m.wParam) +
                              ",\"update_url\":" + JsonString(text(r.updateUrl)));
  switch (m.wParam) {
  case 0:
    if (r.errorCode == kLatencyTimeout)
      fail(kLatencyTimeout, "網路延遲量測沒有在時限內完成，請確認網路連線後再試一次。");
    else
      fail(r.errorCode);
    return;
  case 1:
    err_ << "這個版本已停止使用，請下載新版本：" << text(r.updateUrl) << "\n";
    finish(kExitUpdateRequired);
    return;
  case 2:
    if (human()) out_ << "有新版本可以下載：" << text(r.updateUrl) << "\n";
    break;
  default:
    break;
  }
  // A repeated run (3 without a text) has its terms accepted already.
  bool terms = (r.introPending || !r.termsAccepted) && !(m.wParam == 3 && !m.lText);
  if (!terms || options_.yes || r.autoTest) {
    r.termsAccepted = 1;
    startMeasuring();
    return;
  }
  out_ << "\n【使用條款】\n" << text(r.agreementText) << "\n\n" << std::flush;
  waitingForAgreement_ = true;
  if (askAgreement) askAgreement();
}

void ConsolePresenter::agree(bool accepted) {
  if (!waitingForAgreement_ || exitStatus_) return;
  waitingForAgreement_ = false;
  if (!accepted) {
    err_ << "未同意使用條款，結束測速。\n";
    finish(kExitTermsRefused);
    return;
  }
  controller_->record().termsAccepted = 1;
  startMeasuring();
}

void ConsolePresenter::startMeasuring() {
  TestRecord& r = controller_->record();
  if (human()) {
    if (!r.announcementText.empty()) out_ << "\n【公告】\n" << text(r.announcementText) << "\n\n";
    out_ << "測速中，請勿關閉程式…\n" << std::flush;
  }
  controller_->vExecute();
}

void ConsolePresenter::onProgress(const EngineMessage& m) {
  if (!human()) return;
  const bool download = m.wParam == 1;
  const int percent = static_cast<int>(m.lParam);
  if (percent == 0 && lastBarPercent_ != 0) endProgressLine();
  int step = ProgressStep(percent);
  int shown = step >= 100 ? 100 : step;
  lastBarPercent_ = percent;
  std::string bar(shown / 5, '#');
  bar += std::string(20 - bar.size(), '-');
  if (!options_.terminal) {
    if (shown == lastShownStep_) return;
    lastShownStep_ = shown;
  }
  out_ << (options_.terminal ? "\r" : "") << (download ? "下載速率" : "上傳速率")
       << (step >= 100 ? "測試完成" : "測試中  ") << " [" << bar << "] " << Format("%3.0f", shown) << "%"
       << (options_.terminal ? "" : "\n") << std::flush;
  progressLineOpen_ = options_.terminal;
}

void ConsolePresenter::onResult(const EngineMessage& m) {
  endProgressLine();
  TestRecord& r = controller_->record();
  rawDownloadKbps_ = r.downloadSpeed;
  rawUploadKbps_ = r.uploadSpeed;
  const int outcome = static_cast<int>(m.wParam);
  const std::string resultUrl = m.lText.value_or("");

  if (outcome == 3) {
    int code = r.errorCode ? static_cast<int>(r.errorCode.load()) : static_cast<int>(kNotSetByAnyStep);
    fail(code);
    return;
  }
  if (!SpeedsInRange(r.downloadSpeed, r.uploadSpeed)) {
    r.errorCode = kResultOutOfRange;
    fail(kResultOutOfRange);
    return;
  }
  SpeedDigits down = ComputeSpeedDigits(r.downloadSpeed);
  SpeedDigits up = ComputeSpeedDigits(r.uploadSpeed);
  const int code = outcome == 1 ? 0
                                : (r.errorCode ? static_cast<int>(r.errorCode.load())
                                               : static_cast<int>(kReportNotAccepted));
  if (!human()) {
    printResult(code, resultUrl);
  } else {
    out_ << "下載速率  " << down.text() << " " << down.unitText() << "\n";
    out_ << "上傳速率  " << up.text() << " " << up.unitText() << "\n";
    if (outcome == 1) {
      out_ << "測試序號  " << text(r.resultSerial) << "\n";
      out_ << "測試時間  " << text(r.resultTime) << "\n";
      if (resultUrl.compare(0, 4, "NULL") != 0) out_ << "詳細報告  " << text(resultUrl) << "\n";
    } else if (code == kTestDocumentFailed) {
      out_ << "這是以預設值進行的測試，結果沒有上傳。\n";
    } else {
      out_ << "測速報告沒有被服務接受，這次的結果沒有記錄。\n";
    }
    printHumanExtras();
    out_ << std::flush;
    printResult(code, resultUrl);
  }
  finish(code);
}

void ConsolePresenter::fail(int code, const std::string& extraLine) {
  endProgressLine();
  std::string caption = errorCaption(code), body = errorText(code);
  if (body.empty()) body = extraLine;
  if (!human()) {
    printResult(code, "");
  } else {
    if (!caption.empty()) err_ << caption << "\n";
    if (!body.empty()) err_ << body << "\n";
    if (caption.empty() && body.empty()) err_ << "測速沒有完成（代碼 " << code << "）。\n";
    if (std::string why = latencyErrorText(); !why.empty()) err_ << why << "\n";
    err_ << std::flush;
    printResult(code, "");
  }
  finish(code == 0 ? kNotSetByAnyStep : code);
}

void ConsolePresenter::interrupt() {
  if (exitStatus_) return;
  endProgressLine();
  err_ << "測速已中斷。\n";
  finish(kExitInterrupted);
}

void ConsolePresenter::finish(int status) {
  if (exitStatus_) return;
  exitStatus_ = status;
  out_ << std::flush;
  err_ << std::flush;
  if (finished) finished(status);
}

std::vector<ResultField> ConsolePresenter::resultFields(int code, const std::string& resultUrl) {
  TestRecord& r = controller_->record();
  std::shared_ptr<CWorkThread> e = controller_->engine();
  auto utf8 = [this](const std::string& cp950) { return text(cp950); };
  std::vector<ResultField> f;
  auto number = [&f](const std::string& path, double v) {
    f.push_back({ResultField::Number, path, JsonNumber(v)});
  };
  auto whole = [&f](const std::string& path, long long v) {
    f.push_back({ResultField::Number, path, std::to_string(v)});
  };
  auto textField = [&f](const std::string& path, const std::string& v) {
    f.push_back({ResultField::String, path, v});
  };
  auto list = [&f](const std::string& path, const std::string& v) {
    f.push_back({ResultField::List, path, JsonNumberList(v)});
  };
  number("download_kbps", rawDownloadKbps_ ? rawDownloadKbps_ : r.downloadSpeed);
  number("upload_kbps", rawUploadKbps_ ? rawUploadKbps_ : r.uploadSpeed);
  number("download_nic_kbps", e ? e->dlNicSpeed : 0);
  number("upload_nic_kbps", e ? e->ulNicSpeed : 0);
  textField("rtt", utf8(r.pingSummary));
  number("ping_avg_ms", r.pingAvgMs.load());
  whole("download_sessions", e ? e->testParameters.dl_session : 0);
  whole("upload_sessions", e ? e->testParameters.ul_session : 0);
  {
    // The engine writes its lists under the phase lock; the run's phases are over by now.
    std::string dlFtp, ulFtp, dlNic, ulNic;
    if (e) {
      std::lock_guard<std::mutex> lock(e->phaseMutex);
      dlFtp = e->dlFtpSamples, ulFtp = e->ulFtpSamples, dlNic = e->dlNicSamples, ulNic = e->ulNicSamples;
    }
    list("samples.download_ftp", dlFtp);
    list("samples.upload_ftp", ulFtp);
    list("samples.download_nic", dlNic);
    list("samples.upload_nic", ulNic);
  }
  textField("serial", utf8(code == 0 ? r.resultSerial : ""));
  textField("time", utf8(code == 0 ? r.resultTime : ""));
  textField("result_url", utf8(resultUrl));
  textField("local_ip", utf8(r.localIp));
  whole("error_code", code);
  textField("error_caption", errorCaption(code));
  textField("error_text", errorText(code));
  addLatencyFields(f);
  addCounterFields(f);
  addTcpFields(f);
  addDiagnosisFields(f);
  return f;
}

namespace {

void AddStats(std::vector<ResultField>& f, const std::string& prefix, const LatencyStats& s,
              std::optional<double> idleMedian) {
  auto number = [&](const char* name, double v, const char* format = "%.2f") {
    f.push_back({ResultField::Number, prefix + "." + name, std::isfinite(v) ? Format(format, v) : "null"});
  };
  const double nan = std::nan("");
  number("min_ms", s.minMs);
  number("median_ms", s.medianMs);
  number("iqm_ms", s.iqmMs);
  number("p90_ms", s.p90Ms);
  number("max_ms", s.maxMs);
  number("jitter_ms", s.jitterMs);
  number("loss", s.sent ? s.loss : nan, "%.4f");
  f.push_back({ResultField::Number, prefix + ".sent", std::to_string(s.sent)});
  if (idleMedian) number("increase_ms", s.medianMs - *idleMedian);
}

} // namespace

void ConsolePresenter::addLatencyFields(std::vector<ResultField>& f) {
  LatencyStats idle = ComputeLatencyStats(observer_ ? observer_->idleEchoes() : std::vector<EchoOutcome>{});
  LatencyStats down =
      ComputeLatencyStats(observer_ ? observer_->download().echoes : std::vector<EchoOutcome>{});
  LatencyStats up = ComputeLatencyStats(observer_ ? observer_->upload().echoes : std::vector<EchoOutcome>{});
  const std::optional<double> base = idle.answered ? std::optional<double>(idle.medianMs) : std::nullopt;
  AddStats(f, "latency.idle", idle, std::nullopt);
  AddStats(f, "latency.download", down, base ? base : std::optional<double>(std::nan("")));
  AddStats(f, "latency.upload", up, base ? base : std::optional<double>(std::nan("")));
  // The grade of the mean increase of the directions that have one.
  std::vector<double> increases;
  for (const LatencyStats* s : {&down, &up})
    if (base && s->answered) increases.push_back(s->medianMs - *base);
  std::string grade = "null";
  if (!increases.empty()) {
    double mean = 0;
    for (double v : increases)
      mean += v / static_cast<double>(increases.size());
    grade = LatencyGrade(mean);
  }
  f.push_back({increases.empty() ? ResultField::Number : ResultField::String, "latency.grade", grade});
  const std::string why = latencyErrorText();
  f.push_back(
      {why.empty() ? ResultField::Number : ResultField::String, "latency.error", why.empty() ? "null" : why});
}

std::string ConsolePresenter::latencyErrorText() const {
  if (!latencyProbeError || latencyProbeError() != platform::kErrorAccessDenied) return "";
  return kEchoNotPermitted;
}

void ConsolePresenter::addCounterFields(std::vector<ResultField>& f) {
  std::shared_ptr<CWorkThread> e = controller_->engine();
  TestRecord& r = controller_->record();
  for (bool download : {true, false}) {
    const std::string prefix = download ? "counters.download" : "counters.upload";
    const double ftp = download ? (rawDownloadKbps_ ? rawDownloadKbps_ : r.downloadSpeed)
                                : (rawUploadKbps_ ? rawUploadKbps_ : r.uploadSpeed);
    const double nic = e ? (download ? e->dlNicSpeed : e->ulNicSpeed) : 0;
    f.push_back({ResultField::Number, prefix + ".nic_over_ftp",
                 ftp > 0 && nic > 0 ? Format("%.4f", nic / ftp) : "null"});
    const PhaseObservation* p =
        observer_ ? (download ? &observer_->download() : &observer_->upload()) : nullptr;
    const bool seen = p && p->started;
    f.push_back(
        {ResultField::Number, prefix + ".rejected_samples", seen ? std::to_string(p->rejected()) : "null"});
    f.push_back(
        {ResultField::Number, prefix + ".accepted_samples", seen ? std::to_string(p->accepted()) : "null"});
  }
}

void ConsolePresenter::addTcpFields(std::vector<ResultField>& f) {
  for (bool download : {true, false}) {
    const std::string prefix = download ? "tcp.download" : "tcp.upload";
    const TcpPhaseStats s = tcpStatsSnapshot(!download);
    const bool seen = s.connections > 0;
    auto field = [&](const char* name, const std::string& value) {
      f.push_back({ResultField::Number, prefix + "." + name, seen ? value : "null"});
    };
    field("retransmits", std::to_string(s.retransmits));
    field("rtt_ms", Format("%.3f", s.rttMs));
    field("rttvar_ms", Format("%.3f", s.rttVarMs));
    // The kernel measures the delivery rate on the sending side only: a download's is not known here.
    f.push_back({ResultField::Number, prefix + ".delivery_rate_kbps",
                 seen && s.deliveryRateKbps > 0 ? std::to_string(s.deliveryRateKbps) : "null"});
    f.push_back({ResultField::Number, prefix + ".connections", std::to_string(s.connections)});
  }
}

const platform::LinkFacts& ConsolePresenter::linkFacts() {
  if (!linkFacts_) linkFacts_ = readLinkFacts ? readLinkFacts() : platform::LinkFacts{};
  return *linkFacts_;
}

DirectionFigures ConsolePresenter::directionFigures(bool download) {
  DirectionFigures d;
  d.download = download;
  std::shared_ptr<CWorkThread> e = controller_->engine();
  TestRecord& r = controller_->record();
  const bool done = download ? r.downloadDone.load() : r.uploadDone.load();
  const double ftp = download ? (rawDownloadKbps_ ? rawDownloadKbps_ : r.downloadSpeed)
                              : (rawUploadKbps_ ? rawUploadKbps_ : r.uploadSpeed);
  const double nic = e ? (download ? e->dlNicSpeed : e->ulNicSpeed) : 0;
  if (done && ftp > 0) d.measuredKbps = ftp;
  if (ftp > 0 && nic > 0) d.nicOverFtp = nic / ftp;
  const PhaseObservation* p =
      observer_ ? (download ? &observer_->download() : &observer_->upload()) : nullptr;
  if (p) d.cpuPercent = p->cpuPercent();
  // A phase shorter than the samples' spacing has none of its own: the run's mean stands in.
  if (!d.cpuPercent && r.sampleCount.load() > 0) d.cpuPercent = r.cpuLoadSum.load() / r.sampleCount.load();
  const TcpPhaseStats tcp = tcpStatsSnapshot(!download);
  if (tcp.connections > 0) d.retransmits = tcp.retransmits;
  if (p && observer_) {
    const LatencyStats idle = ComputeLatencyStats(observer_->idleEchoes());
    const LatencyStats loaded = ComputeLatencyStats(p->echoes);
    if (idle.answered && loaded.answered) d.latencyIncreaseMs = loaded.medianMs - idle.medianMs;
    if (loaded.sent) d.echoLoss = loaded.loss;
  }
  return d;
}

void ConsolePresenter::addDiagnosisFields(std::vector<ResultField>& f) {
  const platform::LinkFacts& link = linkFacts();
  auto number = [&f](const std::string& name, std::optional<long long> v) {
    f.push_back({ResultField::Number, "link." + name, v ? std::to_string(*v) : "null"});
  };
  auto word = [&f](const std::string& name, const std::optional<std::string>& v) {
    f.push_back({v ? ResultField::String : ResultField::Number, "link." + name, v ? *v : "null"});
  };
  auto whole = [](const std::optional<std::uint64_t>& v) {
    return v ? std::optional<long long>(static_cast<long long>(*v)) : std::nullopt;
  };
  auto small = [](const std::optional<int>& v) { return v ? std::optional<long long>(*v) : std::nullopt; };
  word("medium", link.medium == platform::LinkMedium::Ethernet   ? std::optional<std::string>("ethernet")
                 : link.medium == platform::LinkMedium::Wireless ? std::optional<std::string>("wifi")
                                                                 : std::nullopt);
  number("speed_kbps", whole(link.speedKbps));
  word("duplex",
       link.fullDuplex ? std::optional<std::string>(*link.fullDuplex ? "full" : "half") : std::nullopt);
  number("tx_kbps", whole(link.txKbps));
  number("rx_kbps", whole(link.rxKbps));
  number("signal_dbm", small(link.signalDbm));
  number("signal_quality", small(link.signalQuality));
  word("band", link.band);
  number("channel_width_mhz", small(link.channelWidthMhz));
  word("standard", link.standard);
  for (bool download : {true, false}) {
    const Diagnosis d = Diagnose(link, directionFigures(download));
    const std::string prefix = download ? "diagnosis.download." : "diagnosis.upload.";
    f.push_back({ResultField::String, prefix + "limit", d.limit});
    f.push_back({ResultField::String, prefix + "evidence", text(d.evidence)});
    f.push_back({ResultField::String, prefix + "advice", text(d.advice)});
  }
}

void ConsolePresenter::printResult(int code, const std::string& resultUrl) {
  if (human() && !onResultObject) return;
  if (observer_) observer_->endPhases();
  std::vector<ResultField> fields = resultFields(code, resultUrl);
  switch (options_.format) {
  case OutputFormat::Human:
    break;
  case OutputFormat::Json:
    out_ << FieldsJson(fields) << "\n";
    break;
  case OutputFormat::Jsonl: {
    // The link facts and the diagnosis follow the result as an event of their own.
    std::vector<ResultField> result, diagnosis;
    // Copied, not moved: the history keeps the whole object afterwards.
    for (const ResultField& field : fields)
      (field.path.rfind("link.", 0) == 0 || field.path.rfind("diagnosis.", 0) == 0 ? diagnosis : result)
          .push_back(field);
    std::string object = FieldsJson(result);
    printEvent("result", "," + object.substr(1, object.size() - 2));
    object = FieldsJson(diagnosis);
    printEvent("diagnosis", "," + object.substr(1, object.size() - 2));
    break;
  }
  case OutputFormat::Csv:
    if (options_.csvHeader) out_ << CsvHeader(fields) << "\n";
    out_ << CsvLine(fields) << "\n";
    break;
  }
  out_ << std::flush;
  if (onResultObject) onResultObject(FieldsJson(fields));
}

void ConsolePresenter::printEvent(const std::string& kind, const std::string& body) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_);
  out_ << "{\"event\":\"" << kind << "\",\"t_ms\":" << ms.count() << body << "}\n" << std::flush;
}

namespace {

const char* PhaseName(RunObserver::Phase p) {
  switch (p) {
  case RunObserver::Phase::Download:
    return "download";
  case RunObserver::Phase::Upload:
    return "upload";
  default:
    return "idle";
  }
}

} // namespace

void ConsolePresenter::onObserverEvent(const RunObserver::Event& e) {
  if (options_.format != OutputFormat::Jsonl || exitStatus_) return;
  std::string body = ",\"phase\":\"" + std::string(PhaseName(e.phase)) + "\"";
  switch (e.kind) {
  case RunObserver::Event::PhaseStart:
    printEvent("phase_start", body);
    break;
  case RunObserver::Event::Sample:
    body += ",\"elapsed_ms\":" + std::to_string(e.sample.elapsedMs) +
            ",\"ftp_kbps\":" + JsonNumber(e.sample.ftpKbps) +
            ",\"nic_kbps\":" + JsonNumber(e.sample.nicKbps) +
            ",\"baseline\":" + (e.sample.baseline ? "true" : "false") +
            ",\"accepted\":" + (e.sample.accepted ? "true" : "false");
    printEvent("sample", body);
    break;
  case RunObserver::Event::Echo:
    body += ",\"seq\":" + std::to_string(e.echoIndex) +
            ",\"answered\":" + (e.echo.answered ? "true" : "false") +
            ",\"rtt_ms\":" + (e.echo.answered ? JsonNumber(e.echo.rttMs) : "null");
    printEvent("latency", body);
    break;
  case RunObserver::Event::PhaseEnd: {
    const PhaseObservation& p =
        e.phase == RunObserver::Phase::Download ? observer_->download() : observer_->upload();
    const TestRecord& r = controller_->record();
    const bool download = e.phase == RunObserver::Phase::Download;
    const bool done = download ? r.downloadDone.load() : r.uploadDone.load();
    LatencyStats s = ComputeLatencyStats(p.echoes);
    body +=
        ",\"kbps\":" + (done ? JsonNumber(download ? r.downloadSpeed : r.uploadSpeed) : std::string("null")) +
        ",\"accepted_samples\":" + std::to_string(p.accepted()) +
        ",\"rejected_samples\":" + std::to_string(p.rejected()) +
        ",\"latency_median_ms\":" + (s.answered ? JsonNumber(s.medianMs) : "null") +
        ",\"echoes\":" + std::to_string(s.sent);
    printEvent("phase_end", body);
    break;
  }
  }
}

void ConsolePresenter::printHumanExtras() {
  if (!observer_) return;
  auto ms = [](double v) { return std::isfinite(v) ? Format("%.1f", v) : std::string("-"); };
  auto percent = [](double v) { return Format("%.1f%%", v * 100); };
  LatencyStats idle = ComputeLatencyStats(observer_->idleEchoes());
  if (idle.sent) {
    out_ << "閒置延遲  中位數 " << ms(idle.medianMs) << " ms（最小 " << ms(idle.minMs) << "，最大 "
         << ms(idle.maxMs) << "，抖動 " << ms(idle.jitterMs) << " ms，遺失 " << percent(idle.loss) << "）\n";
  }
  std::vector<ResultField> f;
  addLatencyFields(f);
  for (bool download : {true, false}) {
    const PhaseObservation& p = download ? observer_->download() : observer_->upload();
    LatencyStats s = ComputeLatencyStats(p.echoes);
    const char* label = download ? "下載" : "上傳";
    if (s.sent) {
      out_ << label << "延遲  中位數 " << ms(s.medianMs) << " ms（IQM " << ms(s.iqmMs) << "，P90 "
           << ms(s.p90Ms) << "，抖動 " << ms(s.jitterMs) << " ms，遺失 " << percent(s.loss);
      if (idle.answered && s.answered) out_ << "，比閒置增加 " << ms(s.medianMs - idle.medianMs) << " ms";
      out_ << "）\n";
    }
  }
  for (const ResultField& field : f)
    if (field.path == "latency.grade" && field.kind == ResultField::String)
      out_ << "延遲評等  " << field.value << "\n";
  std::vector<ResultField> counters;
  addCounterFields(counters);
  for (bool download : {true, false}) {
    const PhaseObservation& p = download ? observer_->download() : observer_->upload();
    if (!p.started) continue;
    const std::string prefix = download ? "counters.download" : "counters.upload";
    std::string ratio = "-";
    for (const ResultField& field : counters)
      if (field.path == prefix + ".nic_over_ftp" && field.value != "null") ratio = field.value;
    out_ << (download ? "下載計數" : "上傳計數") << "  網卡/傳輸 " << ratio << "，剔除樣本 " << p.rejected()
         << "\n";
    const TcpPhaseStats tcp = tcpStatsSnapshot(!download);
    if (tcp.connections > 0)
      out_ << (download ? "下載 TCP" : "上傳 TCP") << "  重傳 " << tcp.retransmits << "，RTT "
           << Format("%.1f", tcp.rttMs) << " ms（變異 " << Format("%.1f", tcp.rttVarMs) << " ms），"
           << (tcp.deliveryRateKbps > 0 ? "傳遞速率 " + std::to_string(tcp.deliveryRateKbps) + " kbit/s，"
                                        : "")
           << tcp.connections << " 條資料連線\n";
    std::vector<double> rates;
    for (const PhaseSample& s : p.samples)
      if (!s.baseline) rates.push_back(s.ftpKbps);
    if (!rates.empty())
      out_ << (download ? "下載每秒" : "上傳每秒") << "  " << Sparkline(rates, options_.unicode) << "\n";
  }
  printHumanDiagnosis();
}

void ConsolePresenter::printHumanDiagnosis() {
  const platform::LinkFacts& link = linkFacts();
  auto rate = [](std::uint64_t kbps) { return Format("%.1f", static_cast<double>(kbps) / 1000) + " Mbit/s"; };
  std::string line;
  if (link.medium == platform::LinkMedium::Ethernet) {
    line = "乙太網路 " + (link.speedKbps ? rate(*link.speedKbps) : std::string("速率不明"));
    if (link.fullDuplex) line += *link.fullDuplex ? " 全雙工" : " 半雙工";
  } else if (link.medium == platform::LinkMedium::Wireless) {
    line = "無線網路";
    for (const std::optional<std::string>& part : {link.standard, link.band})
      if (part) line += " " + *part;
    if (link.channelWidthMhz) line += " " + std::to_string(*link.channelWidthMhz) + " MHz";
    if (link.rxKbps) line += "，接收 " + rate(*link.rxKbps);
    if (link.txKbps) line += "，傳送 " + rate(*link.txKbps);
    if (link.signalDbm) line += "，訊號 " + std::to_string(*link.signalDbm) + " dBm";
    if (link.signalQuality) line += "（品質 " + std::to_string(*link.signalQuality) + "%）";
  } else {
    line = "不明（這個網路介面沒有提供連結資料）";
  }
  out_ << "網路連結  " << line << "\n";
  for (bool download : {true, false}) {
    const Diagnosis d = Diagnose(link, directionFigures(download));
    out_ << (download ? "下載瓶頸  " : "上傳瓶頸  ") << text(LimitText(d.limit)) << "：" << text(d.evidence)
         << "\n";
    out_ << (download ? "下載建議  " : "上傳建議  ") << text(d.advice) << "\n";
  }
}

std::string FieldsJson(const std::vector<ResultField>& fields) {
  // A tree of the dotted paths, in the order each name first appears.
  struct Node {
    std::string name, value;
    std::vector<Node> children;
    bool leaf = false;
  };
  Node root;
  for (const ResultField& field : fields) {
    Node* node = &root;
    std::size_t start = 0;
    for (;;) {
      std::size_t dot = field.path.find('.', start);
      std::string name = field.path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
      auto it = std::find_if(node->children.begin(), node->children.end(),
                             [&](const Node& n) { return n.name == name; });
      if (it == node->children.end()) {
        node->children.push_back(Node{name, "", {}, false});
        it = node->children.end() - 1;
      }
      node = &*it;
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    node->leaf = true;
    node->value = field.kind == ResultField::String ? JsonString(field.value) : field.value;
  }
  std::function<std::string(const Node&)> write = [&](const Node& node) -> std::string {
    if (node.leaf) return node.value;
    std::string out = "{";
    for (std::size_t i = 0; i < node.children.size(); ++i)
      out += (i ? "," : "") + JsonString(node.children[i].name) + ":" + write(node.children[i]);
    return out + "}";
  };
  return write(root);
}

namespace {

std::string CsvCell(const std::string& value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string out = "\"";
  for (char c : value)
    out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

} // namespace

std::string CsvHeader(const std::vector<ResultField>& fields) {
  std::string out;
  for (const ResultField& f : fields)
    if (f.kind != ResultField::List) out += (out.empty() ? "" : ",") + CsvCell(f.path);
  return out;
}

std::string CsvLine(const std::vector<ResultField>& fields) {
  std::string out;
  bool first = true;
  for (const ResultField& f : fields) {
    if (f.kind == ResultField::List) continue;
    if (!first) out += ",";
    first = false;
    out += f.kind == ResultField::Number && f.value == "null" ? "" : CsvCell(f.value);
  }
  return out;
}

std::string Sparkline(const std::vector<double>& values, bool unicode) {
  static const char* const blocks[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
  static const char ascii[] = "_.-:=+*#";
  double top = 0;
  for (double v : values)
    if (std::isfinite(v)) top = std::max(top, v);
  std::string out;
  for (double v : values) {
    if (std::isnan(v)) {
      out += ' ';
      continue;
    }
    int level = top > 0 && std::isfinite(v) ? static_cast<int>(std::lround(std::max(v, 0.0) / top * 7)) : 0;
    if (unicode)
      out += blocks[level];
    else
      out += ascii[level];
  }
  return out;
}

} // namespace zelvo
