#include "cli/console.h"

#include "engine/config.h"
#include "engine/document.h"
#include "frontend/speeddisplay.h"

#include <cmath>
#include <cstdio>
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

void ConsolePresenter::present(const EngineMessage& m) {
  if (exitStatus_) return;
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
    if (!options_.json) out_ << "分析資料中…\n" << std::flush;
    break;
  case kMsgTestDocFailed:
    if (!options_.json) out_ << "無法取得測試設定，改以預設值測試；這次的結果不會上傳。\n" << std::flush;
    break;
  default:
    break;
  }
}

void ConsolePresenter::onVerdict(const EngineMessage& m) {
  TestRecord& r = controller_->record();
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
    if (!options_.json) out_ << "有新版本可以下載：" << text(r.updateUrl) << "\n";
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
  if (!options_.json) {
    if (!r.announcementText.empty()) out_ << "\n【公告】\n" << text(r.announcementText) << "\n\n";
    out_ << "測速中，請勿關閉程式…\n" << std::flush;
  }
  controller_->vExecute();
}

void ConsolePresenter::onProgress(const EngineMessage& m) {
  if (options_.json) return;
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
  if (options_.json) {
    printResultJson(code, resultUrl);
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
    out_ << std::flush;
  }
  finish(code);
}

void ConsolePresenter::fail(int code, const std::string& extraLine) {
  endProgressLine();
  std::string caption = errorCaption(code), body = errorText(code);
  if (body.empty()) body = extraLine;
  if (options_.json) {
    printResultJson(code, "");
  } else {
    if (!caption.empty()) err_ << caption << "\n";
    if (!body.empty()) err_ << body << "\n";
    if (caption.empty() && body.empty()) err_ << "測速沒有完成（代碼 " << code << "）。\n";
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

void ConsolePresenter::printResultJson(int code, const std::string& resultUrl) {
  TestRecord& r = controller_->record();
  std::shared_ptr<CWorkThread> e = controller_->engine();
  auto utf8 = [this](const std::string& cp950) { return JsonString(text(cp950)); };
  std::ostringstream j;
  j << "{";
  j << "\"download_kbps\":" << JsonNumber(rawDownloadKbps_ ? rawDownloadKbps_ : r.downloadSpeed);
  j << ",\"upload_kbps\":" << JsonNumber(rawUploadKbps_ ? rawUploadKbps_ : r.uploadSpeed);
  j << ",\"download_nic_kbps\":" << JsonNumber(e ? e->dlNicSpeed : 0);
  j << ",\"upload_nic_kbps\":" << JsonNumber(e ? e->ulNicSpeed : 0);
  j << ",\"rtt\":" << utf8(r.pingSummary);
  j << ",\"ping_avg_ms\":" << JsonNumber(r.pingAvgMs.load());
  j << ",\"download_sessions\":" << (e ? e->testParameters.dl_session : 0);
  j << ",\"upload_sessions\":" << (e ? e->testParameters.ul_session : 0);
  j << ",\"samples\":{\"download_ftp\":" << JsonNumberList(e ? e->dlFtpSamples : "")
    << ",\"upload_ftp\":" << JsonNumberList(e ? e->ulFtpSamples : "")
    << ",\"download_nic\":" << JsonNumberList(e ? e->dlNicSamples : "")
    << ",\"upload_nic\":" << JsonNumberList(e ? e->ulNicSamples : "") << "}";
  j << ",\"serial\":" << utf8(code == 0 ? r.resultSerial : "");
  j << ",\"time\":" << utf8(code == 0 ? r.resultTime : "");
  j << ",\"result_url\":" << utf8(resultUrl);
  j << ",\"local_ip\":" << utf8(r.localIp);
  j << ",\"error_code\":" << code;
  j << ",\"error_caption\":" << JsonString(errorCaption(code));
  j << ",\"error_text\":" << JsonString(errorText(code));
  j << "}\n";
  out_ << j.str() << std::flush;
}

} // namespace zelvo
