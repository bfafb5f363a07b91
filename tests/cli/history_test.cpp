// The history file: damaged lines skipped and named, the table with its sparklines and medians, the
// exports, and appends that stay whole when two copies save at once or a write fails.

#include "cli/history.h"
#include "platform/statefile.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace zelvo::test {
namespace {

constexpr const char* kAppenderJob = "ZELVO_HISTORY_APPENDER";

// A run's result object as the console makes it, tagged by its serial.
std::string resultObject(const std::string& serial, double downloadKbps, int code = 0) {
  char figures[128];
  std::snprintf(figures, sizeof figures, "\"download_kbps\":%.2f,\"upload_kbps\":%.2f,", downloadKbps,
                downloadKbps / 2);
  // About the size of a real result with its per-second samples.
  std::string samples(1499, '0');
  for (std::size_t i = 1; i < samples.size(); i += 2)
    samples[i] = ',';
  return "{" + std::string(figures) + "\"samples\":{\"download_ftp\":[" + samples +
         "]},\"serial\":" + JsonString(serial) + ",\"error_code\":" + std::to_string(code) + "}";
}

// A copy of this test program started with the job in its environment appends and exits before the
// tests begin: "COUNT TAG PATH".
[[maybe_unused]] const bool appenderChild = [] {
  const char* job = std::getenv(kAppenderJob);
  if (!job) return false;
  std::istringstream words(job);
  int count = 0;
  std::string tag, path;
  words >> count >> tag;
  std::getline(words >> std::ws, path);
  const std::filesystem::path file(std::u8string(path.begin(), path.end()));
  for (int i = 0; i < count; ++i) {
    std::string error;
    if (!SaveToHistory(file, resultObject(tag + "-" + std::to_string(i), 1000 + i), std::time(nullptr),
                       error))
      std::_Exit(1);
  }
  std::_Exit(0);
}();

#ifdef _WIN32
using Child = HANDLE;
Child startAppender(const std::string& job) {
  ::SetEnvironmentVariableA(kAppenderJob, job.c_str());
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const bool started = ::CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &process);
  ::SetEnvironmentVariableA(kAppenderJob, nullptr);
  if (!started) return nullptr;
  ::CloseHandle(process.hThread);
  return process.hProcess;
}
int exitStatusOf(Child child) {
  DWORD status = 255;
  if (!child || ::WaitForSingleObject(child, 120000) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(child, &status))
    status = 255;
  if (child) ::CloseHandle(child);
  return static_cast<int>(status);
}
#else
using Child = pid_t;
Child startAppender(const std::string& job) {
  ::setenv(kAppenderJob, job.c_str(), 1);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, self, nullptr, nullptr, argv, environ) != 0) pid = -1;
  ::unsetenv(kAppenderJob);
  return pid;
}
int exitStatusOf(Child child) {
  int status = 0;
  if (child <= 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 255;
  return WEXITSTATUS(status);
}
#endif

std::string fileText(const std::filesystem::path& file) {
  platform::ReadOutcome read = platform::ReadLockedFile(file);
  EXPECT_EQ(read.status, platform::ReadOutcome::Read) << read.error;
  return read.content;
}

TEST(History, DamagedLinesAreNamedAndSkippedAndTheOthersListed) {
  const std::string fixture = readTestData("history/damaged.jsonl");
  HistoryListing all = ParseHistory(fixture, 10);
  ASSERT_EQ(all.runs.size(), 3u);
  EXPECT_EQ(all.runs[0].line, 1u);
  EXPECT_EQ(all.runs[1].line, 3u);
  EXPECT_EQ(all.runs[2].line, 6u);
  EXPECT_EQ(all.runs[1].errorCode, 7);
  EXPECT_TRUE(std::isnan(all.runs[2].idleLatencyMs));
  ASSERT_EQ(all.damagedLines.size(), 3u);
  EXPECT_EQ(all.damagedLines[0].line, 2u);
  EXPECT_EQ(all.damagedLines[0].why, "不是 JSON 物件");
  EXPECT_EQ(all.damagedLines[1].line, 4u);
  EXPECT_EQ(all.damagedLines[1].why, "不完整（被截斷）");
  EXPECT_EQ(all.damagedLines[2].line, 5u);
  EXPECT_EQ(all.damagedLines[2].why, "欄位型別不對");

  // The last two runs: the listing goes back past the damaged lines to line 3, and names only those.
  HistoryListing two = ParseHistory(fixture, 2);
  ASSERT_EQ(two.runs.size(), 2u);
  EXPECT_EQ(two.runs[0].line, 3u);
  ASSERT_EQ(two.damagedLines.size(), 2u);
  EXPECT_EQ(two.damagedLines[0].line, 4u);

  // Other breakage: a bad escape, trailing text, a fraction for the code, no time, nesting without end.
  for (const char* line :
       {R"({"saved_at":"x","download_kbps":1,"upload_kbps":1,"error_code":0,"serial":"\q"})",
        R"({"saved_at":"x","download_kbps":1,"upload_kbps":1,"error_code":0} x)",
        R"({"saved_at":"x","download_kbps":1,"upload_kbps":1,"error_code":0.5})",
        R"({"download_kbps":1,"upload_kbps":1,"error_code":0})",
        R"({"saved_at":"x","download_kbps":01,"upload_kbps":1,"error_code":0})"}) {
    HistoryListing one = ParseHistory(line, 10);
    EXPECT_TRUE(one.runs.empty()) << line;
    EXPECT_EQ(one.damagedLines.size(), 1u) << line;
  }
  std::string deep = "{\"saved_at\":\"x\",\"a\":" + std::string(100000, '[');
  EXPECT_EQ(ParseHistory(deep, 10).damagedLines.size(), 1u);
}

TEST(History, TableShowsEachRunWithSparklinesAndMedians) {
  HistoryListing listing = ParseHistory(readTestData("history/damaged.jsonl"), 10);
  // The failed run measured nothing: a dash in its row and a gap in the lines, left out of the medians.
  EXPECT_EQ(HistoryTable(listing, true), "日期時間          下載 Mbps  上傳 Mbps  閒置延遲 ms  代碼  序號\n"
                                         "2026-12-01 08:00      94.00      47.00          3.2     0  101\n"
                                         "2026-12-02 21:30          -          -          2.5     7\n"
                                         "2026-12-05 07:59      47.00      23.50            -     0  105\n"
                                         "下載  █ ▅  中位數 70.50 Mbps\n"
                                         "上傳  █ ▅  中位數 35.25 Mbps\n");
  EXPECT_NE(HistoryTable(listing, false).find("下載  # =  中位數"), std::string::npos);
  EXPECT_DOUBLE_EQ(MedianOfMeasured({3, 0, std::nan(""), 1, 2}), 2);
  EXPECT_DOUBLE_EQ(MedianOfMeasured({4, 1}), 2.5);
  EXPECT_TRUE(std::isnan(MedianOfMeasured({0, std::nan("")})));
}

TEST(History, ExportsTheStoredObjectsAsJsonAndTheConsolesColumnsAsCsv) {
  const std::string fixture = readTestData("history/damaged.jsonl");
  std::vector<std::string> lines;
  std::istringstream in(fixture);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  HistoryListing listing = ParseHistory(fixture, 2);
  EXPECT_EQ(HistoryJson(listing), "[\n" + lines[2] + ",\n" + lines[5] + "\n]\n");
  EXPECT_EQ(HistoryJson(HistoryListing{}), "[]\n");

  // Lists are left out as in the console's CSV; a name only the newer run has is a column, empty in
  // the older row; texts decoded from their escapes and quoted where they hold a comma.
  EXPECT_EQ(HistoryCsv(listing),
            "saved_at,download_kbps,upload_kbps,rtt,serial,error_code,error_caption,latency.idle.median_ms,"
            "link.speed_mbps\n"
            "2026-12-02T21:30:00+08:00,0.00,0.00,,,7,連線失敗,2.50,\n"
            "2026-12-05T07:59:00+08:00,47000.00,23500.00,\"5,6,9\",105,0,,,100\n");
}

TEST(History, ASavedRunReadsBackWithItsTimeInAPrivateFolderAndMissingOrEmptyIsSaid) {
  Sandbox sandbox;
  const std::filesystem::path file = sandbox.path() / "state" / "zelvo" / kHistoryFileName;
  std::ostringstream out, err;
  EXPECT_EQ(ShowHistory(file, 10, OutputFormat::Human, true, out, err), 0);
  EXPECT_NE(out.str().find("還沒有儲存過測速結果"), std::string::npos) << out.str();
  EXPECT_FALSE(std::filesystem::exists(file.parent_path()));

  std::string error;
  const std::string object = resultObject("201", 50000);
  ASSERT_TRUE(SaveToHistory(file, object, std::time(nullptr), error)) << error;
#ifndef _WIN32
  for (const std::filesystem::path& folder : {file.parent_path(), file.parent_path().parent_path()})
    EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms::owner_all);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
  const std::string text = fileText(file);
  EXPECT_TRUE(std::regex_search(
      text, std::regex(R"(^\{"saved_at":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d","download_kbps")")))
      << text.substr(0, 80);
  EXPECT_EQ(text.substr(text.find(",\"download_kbps\"") + 1), object.substr(1) + "\n");

  std::ostringstream csvOut, csvErr;
  EXPECT_EQ(ShowHistory(file, 10, OutputFormat::Csv, true, csvOut, csvErr), 0);
  EXPECT_NE(csvOut.str().find("\n" + text.substr(13, 25) + ",50000.00,25000.00,201,0\n"), std::string::npos)
      << csvOut.str();
  EXPECT_EQ(csvErr.str(), "");

  platform::AppendOutcome blank = platform::AppendWholeLine(sandbox.file("empty.jsonl"), "\n");
  ASSERT_TRUE(blank.ok) << blank.error;
  std::ostringstream emptyOut, emptyErr;
  EXPECT_EQ(ShowHistory(sandbox.file("empty.jsonl"), 10, OutputFormat::Json, true, emptyOut, emptyErr), 0);
  EXPECT_EQ(emptyOut.str(), "[]\n");
  EXPECT_NE(emptyErr.str().find("裡沒有任何測速結果"), std::string::npos) << emptyErr.str();
}

TEST(History, ALineCutShortStaysInTheFileAndTheNextRunStartsOnItsOwnLine) {
  Sandbox sandbox;
  const std::filesystem::path file = sandbox.file(kHistoryFileName);
  const std::string cut = R"({"saved_at":"2026-12-03T08:00:00+08:00","download_kbps":9)";
  sandbox.write(kHistoryFileName, cut);
  std::string error;
  ASSERT_TRUE(SaveToHistory(file, resultObject("301", 1000), std::time(nullptr), error)) << error;
  const std::string text = fileText(file);
  EXPECT_EQ(text.substr(0, cut.size() + 1), cut + "\n");
  std::ostringstream out, err;
  EXPECT_EQ(ShowHistory(file, 10, OutputFormat::Human, false, out, err), 0);
  EXPECT_EQ(err.str(), "測速紀錄第 1 行不完整（被截斷），略過。\n");
  EXPECT_NE(out.str().find("最近 1 次測速"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("  301\n"), std::string::npos) << out.str();
  // Listing never rewrites the file.
  EXPECT_EQ(fileText(file), text);
}

TEST(History, TwoCopiesSavingAtOnceLoseNoLineAndInterleaveNone) {
  Sandbox sandbox;
  const std::filesystem::path file = sandbox.path() / "state" / kHistoryFileName;
  constexpr int kLines = 150;
  const std::string path = platform::PathText(file);
  Child a = startAppender(std::to_string(kLines) + " A " + path);
  Child b = startAppender(std::to_string(kLines) + " B " + path);
  EXPECT_EQ(exitStatusOf(a), 0);
  EXPECT_EQ(exitStatusOf(b), 0);
  HistoryListing listing = ParseHistory(fileText(file), SIZE_MAX);
  EXPECT_TRUE(listing.damagedLines.empty()) << "first damaged line " << listing.damagedLines[0].line;
  std::set<std::string> serials;
  for (const HistoryRun& run : listing.runs)
    serials.insert(run.serial);
  EXPECT_EQ(listing.runs.size(), 2u * kLines);
  EXPECT_EQ(serials.size(), 2u * kLines);
  EXPECT_TRUE(serials.count("A-0") && serials.count("B-" + std::to_string(kLines - 1)));
}

#ifndef _WIN32
TEST(History, AWriteCutShortIsReportedAndTakenBack) {
  Sandbox sandbox;
  const std::filesystem::path file = sandbox.file(kHistoryFileName);
  std::string error;
  ASSERT_TRUE(SaveToHistory(file, resultObject("401", 1000), std::time(nullptr), error)) << error;
  const std::string before = fileText(file);
  // In a child whose file size limit lets only part of the next line in: the write comes back short.
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{static_cast<rlim_t>(before.size() + 100), static_cast<rlim_t>(before.size() + 100)};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::string why;
    const bool saved = SaveToHistory(file, resultObject("402", 1000), std::time(nullptr), why);
    ::_exit(!saved && !why.empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the short write was not reported";
  EXPECT_EQ(fileText(file), before);
}
#endif

} // namespace
} // namespace zelvo::test
