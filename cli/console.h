#pragma once
// The console front-end's presenter: shows the run in a terminal (or as JSON, JSON lines or CSV) and
// plays the user's part of the window: agreement to the terms, and the end of the program with an exit
// status. Runs on the main thread.

#include "frontend/diagnosis.h"
#include "frontend/runcontroller.h"
#include "frontend/runobserver.h"
#include "platform/linkfacts.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace zelvo {

enum class OutputFormat {
  Human, // readable lines
  Json,  // one JSON object at the end
  Jsonl, // one JSON object per event as it happens, the result last
  Csv,   // one line at the end
};

struct ConsoleOptions {
  bool yes = false; // agree to the terms without asking
  OutputFormat format = OutputFormat::Human;
  bool csvHeader = false; // the CSV line is preceded by its header
  bool terminal = true;   // progress redraws one line; otherwise each step gets its own line
  bool unicode = true;    // the terminal shows block characters
};

// One figure of the result: a dotted path (nested objects in JSON, the column name in CSV) and its
// value as JSON text.
struct ResultField {
  enum Kind { Number, String, List } kind = Number; // a List is left out of the CSV line
  std::string path;
  std::string value; // JSON number or null; a String's UTF-8 text; a List's JSON array
};

// The fields as one JSON object, dotted paths nested.
std::string FieldsJson(const std::vector<ResultField>& fields);
std::string CsvHeader(const std::vector<ResultField>& fields);
std::string CsvLine(const std::vector<ResultField>& fields);
// Eight levels from the lowest to the highest value: block characters, or ASCII; a NaN (nothing
// measured) is a gap.
std::string Sparkline(const std::vector<double>& values, bool unicode);

class ConsolePresenter : public Presenter {
public:
  // out gets the result (and, without --json, the progress); err the notices and errors. toTerminal
  // converts CP950 texts for the terminal. askAgreement is called once with the terms shown and later
  // answers through agree(). finished is called once with the exit status.
  ConsolePresenter(ConsoleOptions options, std::ostream& out, std::ostream& err,
                   std::function<std::string(const std::string&)> toTerminal);

  void attach(RunController& controller) { controller_ = &controller; }
  // The observer's events are shown (JSON lines) and its figures added to the result.
  void observe(RunObserver& observer);
  std::function<void()> askAgreement;
  std::function<void(int status)> finished;
  // Why the latency probe could not send (platform::IcmpCreateFileError's codes), 0 when it could:
  // a probe without permission to send is explained in latency.error and on a failed run's error lines.
  std::function<std::uint32_t()> latencyProbeError;
  // Called once with the result object (the object --format json prints), whatever the format shown,
  // when the run ends with one: a result or a failure with its code, not a refusal, an update or Ctrl-C.
  std::function<void(const std::string& resultJson)> onResultObject;
  // The link facts of the adapter the run measured; asked once, when the result is shown.
  std::function<platform::LinkFacts()> readLinkFacts;

  void present(const EngineMessage& message) override;
  // The user's answer to the terms.
  void agree(bool accepted);
  // Ctrl-C or another end forced from outside.
  void interrupt();

  std::optional<int> exitStatus() const { return exitStatus_; }

private:
  void onVerdict(const EngineMessage& m);
  void onProgress(const EngineMessage& m);
  void onResult(const EngineMessage& m);
  void startMeasuring();
  void fail(int code, const std::string& extraLine = "");
  void finish(int status);
  void printResult(int code, const std::string& resultUrl);
  std::vector<ResultField> resultFields(int code, const std::string& resultUrl);
  void addLatencyFields(std::vector<ResultField>& f);
  void addCounterFields(std::vector<ResultField>& f);
  // Kernel TCP figures of each direction's data connections (null without any).
  void addTcpFields(std::vector<ResultField>& f);
  // The adapter's link facts (link.*) and each direction's diagnosis (diagnosis.*), last.
  void addDiagnosisFields(std::vector<ResultField>& f);
  const platform::LinkFacts& linkFacts();
  DirectionFigures directionFigures(bool download);
  // One line on why the latency probe cannot send and what to do; empty when it can.
  std::string latencyErrorText() const;
  void printHumanExtras();
  void printHumanDiagnosis();
  void onObserverEvent(const RunObserver::Event& e);
  void printEvent(const std::string& kind, const std::string& body);
  bool human() const { return options_.format == OutputFormat::Human; }
  std::string text(const std::string& cp950) const { return toTerminal_(cp950); }
  std::string errorCaption(int code) const;
  std::string errorText(int code) const;
  void endProgressLine();

  ConsoleOptions options_;
  std::ostream& out_;
  std::ostream& err_;
  std::function<std::string(const std::string&)> toTerminal_;
  RunController* controller_ = nullptr;
  RunObserver* observer_ = nullptr;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::optional<int> exitStatus_;
  bool progressLineOpen_ = false;
  bool waitingForAgreement_ = false;
  int lastBarPercent_ = -1;
  int lastShownStep_ = -1;
  double rawDownloadKbps_ = 0, rawUploadKbps_ = 0;
  std::optional<platform::LinkFacts> linkFacts_;
};

// A JSON string literal of UTF-8 text.
std::string JsonString(const std::string& utf8);

} // namespace zelvo
