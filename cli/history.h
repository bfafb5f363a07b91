#pragma once
// The console's history of runs, kept only when the user asks (--save): one JSON object per line in
// the user's state folder, each a run's result object with the local time it was saved first
// ("saved_at"). --history lists the last runs, or exports them as JSON or CSV, without any network.

#include "cli/console.h"

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace zelvo {

// The history file's name in the user's state folder.
inline constexpr const char* kHistoryFileName = "history.jsonl";

// $XDG_STATE_HOME/zelvo-speedtest/history.jsonl (~/.local/state/...) on Linux,
// <Local AppData>\Zelvo\history.jsonl on Windows; null without a home.
std::optional<std::filesystem::path> HistoryFilePath();

// The line stored for a run: the result object with "saved_at" (local time with its UTC offset) first.
std::string HistoryLine(const std::string& resultJson, std::time_t savedAt);

// Creates the folder when missing and appends the run's line whole, or not at all. False with why
// (UTF-8) when it could not.
bool SaveToHistory(const std::filesystem::path& file, const std::string& resultJson, std::time_t savedAt,
                   std::string& error);

// One stored run, as read back.
struct HistoryRun {
  std::size_t line = 0;            // in the file, from 1
  std::string json;                // the object as stored
  std::vector<ResultField> fields; // its members by dotted name, in the stored order
  std::string savedAt;
  double downloadKbps = 0, uploadKbps = 0, idleLatencyMs = 0; // NaN when not measured (null)
  long long errorCode = 0;
  std::string serial;
};

struct HistoryListing {
  std::vector<HistoryRun> runs; // the last ones asked for, oldest first
  struct Damaged {
    std::size_t line = 0;
    std::string why; // what is wrong with it, in the user's language
  };
  std::vector<Damaged> damagedLines; // skipped lines among those the listing went through, in order
};

// The last `last` whole runs of the file's text. A line that is not a JSON object, is cut short or has
// a figure of the wrong type is skipped and named, and the listing goes on past it.
HistoryListing ParseHistory(const std::string& content, std::size_t last);

// The median of the measured values (finite and above zero); NaN when there are none.
double MedianOfMeasured(std::vector<double> values);

// The readable table: a row per run, then a sparkline of each direction over those runs and its median.
std::string HistoryTable(const HistoryListing& listing, bool unicode);
// A JSON array of the stored objects.
std::string HistoryJson(const HistoryListing& listing);
// The console's CSV columns (every name any of the runs has, in the order they first appear), the
// header once and a row per run.
std::string HistoryCsv(const HistoryListing& listing);

// --history: shows or exports the last runs of the file. Damaged lines and a file that cannot be read
// are told on err. Returns the exit status: 0, also for a missing or empty history; 1 when the file
// cannot be read.
int ShowHistory(const std::filesystem::path& file, std::size_t last, OutputFormat format, bool unicode,
                std::ostream& out, std::ostream& err);

} // namespace zelvo
