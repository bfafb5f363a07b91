#pragma once
// The console front-end's presenter: shows the run in a terminal (or as one JSON object) and plays the
// user's part of the window: agreement to the terms, and the end of the program with an exit status.
// Runs on the main thread.

#include "frontend/runcontroller.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace zelvo {

struct ConsoleOptions {
  bool yes = false;     // agree to the terms without asking
  bool json = false;    // one JSON object on stdout instead of the readable lines
  bool terminal = true; // progress redraws one line; otherwise each step gets its own line
};

class ConsolePresenter : public Presenter {
public:
  // out gets the result (and, without --json, the progress); err the notices and errors. toTerminal
  // converts CP950 texts for the terminal. askAgreement is called once with the terms shown and later
  // answers through agree(). finished is called once with the exit status.
  ConsolePresenter(ConsoleOptions options, std::ostream& out, std::ostream& err,
                   std::function<std::string(const std::string&)> toTerminal);

  void attach(RunController& controller) { controller_ = &controller; }
  std::function<void()> askAgreement;
  std::function<void(int status)> finished;

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
  void printResultJson(int code, const std::string& resultUrl);
  std::string text(const std::string& cp950) const { return toTerminal_(cp950); }
  std::string errorCaption(int code) const;
  std::string errorText(int code) const;
  void endProgressLine();

  ConsoleOptions options_;
  std::ostream& out_;
  std::ostream& err_;
  std::function<std::string(const std::string&)> toTerminal_;
  RunController* controller_ = nullptr;
  std::optional<int> exitStatus_;
  bool progressLineOpen_ = false;
  bool waitingForAgreement_ = false;
  int lastBarPercent_ = -1;
  int lastShownStep_ = -1;
  double rawDownloadKbps_ = 0, rawUploadKbps_ = 0;
};

// A JSON string literal of UTF-8 text.
std::string JsonString(const std::string& utf8);

} // namespace zelvo
