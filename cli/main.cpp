// zelvo-speedtest-cli: a whole Zelvo speed test in a terminal.

#include "cli/console.h"
#include "cli/history.h"
#include "frontend/production.h"
#include "frontend/settings.h"
#include "platform/cp950.h"
#include "platform/mainloop.h"
#include "platform/privileges.h"
#include "platform/statefile.h"
#include "platform/terminal.h"
#include "sysinfo/connection.h"
#include "zelvo_version.h"

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>

using namespace zelvo;

namespace {

constexpr const char* kAppVersion = ZELVO_APP_VERSION;
constexpr std::size_t kHistoryDefaultRuns = 10;

void printUsage(std::ostream& out) {
  out << "用法：zelvo-speedtest-cli [--yes] [--format human|json|jsonl|csv] [--csv-header] [--json] "
         "[--save]\n"
         "      zelvo-speedtest-cli --history [N] [--format human|json|jsonl|csv]\n"
         "  --yes                  不詢問，直接同意使用條款（設定檔的無人值守模式也有同樣效果）\n"
         "  --format human         可讀的文字（預設）\n"
         "  --format json          只輸出一個 JSON 物件（速率單位為 kbit/s，延遲為 ms）\n"
         "  --format jsonl         每個事件一行 JSON，邊測邊輸出，最後一行是結果\n"
         "  --format csv           結果輸出成一行 CSV\n"
         "  --csv-header           CSV 前面先輸出欄位名稱（隱含 --format csv）\n"
         "  --json                 等於 --format json\n"
         "  --no-loaded-latency    傳輸時不另外量測延遲\n"
         "  --save                 把這次的結果加進測速紀錄（使用者的狀態資料夾）\n"
         "  --history [N]          不測速，列出最近 N 次（預設 10）的測速紀錄；可用 --format json|csv 匯出\n"
         "結束狀態：0 表示報告已被接受；其他值為錯誤代碼（14 需要更新版本，15 未同意條款，130 中斷）。\n";
}

// Passes UTF-8 text on to a stream of the terminal's charset at every flush.
class ConvertingBuffer : public std::stringbuf {
public:
  ConvertingBuffer(std::ostream& target, std::string charset)
      : target_(target), charset_(charset + "//TRANSLIT") {}
  ~ConvertingBuffer() override { sync(); }

protected:
  int sync() override {
    std::string text = str();
    str("");
    if (!text.empty())
      target_ << platform::ConvertCharset(text, "UTF-8", charset_.c_str()).value_or(text) << std::flush;
    return 0;
  }

private:
  std::ostream& target_;
  std::string charset_;
};

// Puts the console's own buffer, if it has one, under a standard stream for the program's lifetime.
class ConsoleStream {
public:
  ConsoleStream(std::ostream& stream, bool standardError)
      : stream_(stream), buffer_(platform::ConsoleBuffer(standardError)) {
    if (buffer_) previous_ = stream_.rdbuf(buffer_.get());
  }
  ~ConsoleStream() {
    if (!buffer_) return;
    stream_.flush();
    stream_.rdbuf(previous_);
  }

private:
  std::ostream& stream_;
  std::unique_ptr<std::streambuf> buffer_;
  std::streambuf* previous_ = nullptr;
};

bool sameCharset(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return i == a.size() && !b[i];
}

struct App {
  std::shared_ptr<platform::MainLoop> loop;
  ConsolePresenter* presenter = nullptr;
  RunController* controller = nullptr;
  std::unique_ptr<platform::Registration> input;
  int status = 1;
  std::shared_ptr<CWorkThread> interrupted; // the run given up at Ctrl-C, waited for at the end
};

// Runs on the main thread.
void onInput(App& app, const std::optional<std::string>& line) {
  bool yes = line && !line->empty() && ((*line)[0] == 'y' || (*line)[0] == 'Y');
  app.presenter->agree(yes);
}

// Runs on the main thread.
void onTerminationRequest(App& app) {
  if (!app.interrupted) app.interrupted = app.controller->engine();
  app.controller->abandonRun();
  app.presenter->interrupt();
}

} // namespace

int main(int argc, char** argv) {
  // Before anything else runs: libcurl and the rest never see the capability the package grants.
  if (!platform::KeepEchoSocketAndDropPrivileges()) {
    std::cerr << "zelvo-speedtest-cli: cannot give up the process's capabilities; not running with them\n";
    return 1;
  }
  std::setlocale(LC_ALL, "");
  // Numbers are always written with a decimal point, whatever the user's locale says.
  std::setlocale(LC_NUMERIC, "C");
  ConsoleStream consoleOut(std::cout, false), consoleErr(std::cerr, true);

  ConsoleOptions options;
  options.terminal = platform::StdoutIsTerminal();
  RunObserver::Options observerOptions;
  bool formatGiven = false;
  bool save = false;
  std::optional<std::size_t> historyRuns;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--yes") || !std::strcmp(argv[i], "-y")) {
      options.yes = true;
    } else if (!std::strcmp(argv[i], "--json")) {
      options.format = OutputFormat::Json;
    } else if (!std::strcmp(argv[i], "--format") || !std::strncmp(argv[i], "--format=", 9)) {
      const char* name = argv[i][8] == '=' ? argv[i] + 9 : (i + 1 < argc ? argv[++i] : "");
      if (!std::strcmp(name, "human")) {
        options.format = OutputFormat::Human;
      } else if (!std::strcmp(name, "json")) {
        options.format = OutputFormat::Json;
      } else if (!std::strcmp(name, "jsonl")) {
        options.format = OutputFormat::Jsonl;
      } else if (!std::strcmp(name, "csv")) {
        options.format = OutputFormat::Csv;
      } else {
        std::cerr << "zelvo-speedtest-cli: 不認得的輸出格式 " << name << "\n";
        printUsage(std::cerr);
        return 2;
      }
      formatGiven = true;
    } else if (!std::strcmp(argv[i], "--csv-header")) {
      options.csvHeader = true;
    } else if (!std::strcmp(argv[i], "--save")) {
      save = true;
    } else if (!std::strcmp(argv[i], "--history") || !std::strncmp(argv[i], "--history=", 10)) {
      // The count is optional: a following word that is not a number is the next option.
      const char* count = argv[i][9] == '=' ? argv[i] + 10 : nullptr;
      if (!count && i + 1 < argc && std::isdigit(static_cast<unsigned char>(argv[i + 1][0])))
        count = argv[++i];
      historyRuns = kHistoryDefaultRuns;
      if (count) {
        char* end = nullptr;
        const unsigned long long n = std::strtoull(count, &end, 10);
        if (!std::isdigit(static_cast<unsigned char>(count[0])) || *end || n == 0) {
          std::cerr << "zelvo-speedtest-cli: --history 的次數要是正整數：" << count << "\n";
          printUsage(std::cerr);
          return 2;
        }
        historyRuns = static_cast<std::size_t>(std::min<unsigned long long>(n, SIZE_MAX));
      }
    } else if (!std::strcmp(argv[i], "--no-loaded-latency")) {
      observerOptions.loadedLatency = false;
    } else if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      printUsage(std::cout);
      return 0;
    } else if (!std::strcmp(argv[i], "--version")) {
      std::cout << "zelvo-speedtest-cli " << kAppVersion << "\n";
      return 0;
    } else {
      std::cerr << "zelvo-speedtest-cli: 不認得的選項 " << argv[i] << "\n";
      printUsage(std::cerr);
      return 2;
    }
  }

  if (options.csvHeader && !formatGiven) options.format = OutputFormat::Csv;
  if (historyRuns && save) {
    std::cerr << "zelvo-speedtest-cli: --history 不測速，不能和 --save 一起使用\n";
    printUsage(std::cerr);
    return 2;
  }

  const std::string charset = platform::TerminalCharset();
  auto toTerminal = [charset](const std::string& cp950) {
    std::optional<std::string> text =
        platform::ConvertCharset(cp950, "CP950", (charset + "//TRANSLIT").c_str());
    if (!text) text = platform::ConvertCharset(cp950, "CP950", "UTF-8");
    return text.value_or(cp950);
  };
  // The presenter's own texts are UTF-8 literals: on a terminal of another charset everything is
  // written as UTF-8 and converted on the way out.
  const bool utf8Terminal = sameCharset(charset, "UTF-8");
  ConvertingBuffer outBuffer(std::cout, charset), errBuffer(std::cerr, charset);
  std::ostream convertedOut(&outBuffer), convertedErr(&errBuffer);
  std::ostream& out = utf8Terminal ? std::cout : convertedOut;
  std::ostream& err = utf8Terminal ? std::cerr : convertedErr;
  auto toTerminalFromCp950 = [&](const std::string& cp950) {
    return utf8Terminal ? toTerminal(cp950) : platform::Cp950ToUtf8(cp950).value_or(cp950);
  };

  options.unicode = utf8Terminal;

  const std::optional<std::filesystem::path> historyFile = HistoryFilePath();
  if (historyRuns) {
    if (!historyFile) {
      err << "找不到使用者的狀態資料夾，沒有測速紀錄可以列出。\n" << std::flush;
      return 1;
    }
    return ShowHistory(*historyFile, *historyRuns, options.format, options.unicode, out, err);
  }

  auto record = std::make_shared<TestRecord>();
  const ProbeHosts hosts = builtinProbeHosts();
  // Outlives the services and the controller, which hand it echoes and samples.
  RunObserver observer(*record, hosts.primary, observerOptions);
  ConsolePresenter presenter(options, out, err, toTerminalFromCp950);
  ProductionServices production(hosts);
  production.onLatencyEcho = [&observer](std::int32_t round, std::uint32_t status,
                                         std::uint32_t roundTripMs) {
    observer.onIdleEcho(round, status, roundTripMs);
  };
  FrontendServices services = production.services();
  services.newEngine = [tap = observer.tap()](std::shared_ptr<TestRecord> run) {
    return std::make_shared<CWorkThread>(std::move(run),
                                         ObservedEngineContext(ProductionEngineContext(), tap));
  };
  RunController controller(record, std::move(services), presenter);
  presenter.attach(controller);
  presenter.observe(observer);

  App app;
  app.loop = platform::MainLoop::current();
  app.presenter = &presenter;
  app.controller = &controller;
  presenter.finished = [&app](int status) {
    app.status = status;
    app.loop->quit();
  };
  presenter.latencyProbeError = [&production] { return production.latencyProbeError(); };
  if (save) {
    // A failed save is told, but the exit status stays the test's own: the measurement and the report
    // to the service are what it answers for.
    presenter.onResultObject = [&](const std::string& resultJson) {
      std::string error = "找不到使用者的狀態資料夾";
      if (historyFile && SaveToHistory(*historyFile, resultJson, std::time(nullptr), error)) {
        if (options.format == OutputFormat::Human)
          out << "結果已存入測速紀錄 " << platform::PathText(*historyFile) << "\n" << std::flush;
        return;
      }
      err << "無法把這次的結果存入測速紀錄"
          << (historyFile ? " " + platform::PathText(*historyFile) : std::string()) << "：" << error << "\n"
          << std::flush;
    };
  }
  presenter.readLinkFacts = [&production] { return RouteLinkFacts(production.windowProfile()); };
  presenter.askAgreement = [&app, &out] {
    out << "是否同意使用條款？(y/N) " << std::flush;
    app.input =
        platform::ReadConsoleLine(app.loop, [&app](std::optional<std::string> line) { onInput(app, line); });
  };
  std::unique_ptr<platform::Registration> termination =
      platform::OnTerminationRequest(app.loop, [&app] { onTerminationRequest(app); });

  if (options.format == OutputFormat::Human)
    out << "Zelvo 測速軟體 " << kAppVersion << "\n連線到測速服務…\n" << std::flush;
  bool autoTest = ReadAutoTestSetting(BuiltInSettingsFile());
  if (!controller.startFirstRun(kAppVersion, autoTest)) {
    err << toTerminalFromCp950(decodeLetterPairs(BuiltInCaption(kNoConnectedAdapter))) << "\n"
        << toTerminalFromCp950(decodeLetterPairs(BuiltInText(kNoConnectedAdapter))) << "\n";
    app.status = kNoConnectedAdapter;
  } else {
    app.loop->run();
  }

  // The engine releases its sessions as its run ends; let it finish so nothing is cut half-way.
  if (auto engine = app.interrupted ? app.interrupted : controller.engine()) {
    if (app.status != 0 && !engine->Finished()) engine->Terminate();
    engine->WaitFor(15000);
  }
  app.input.reset();
  termination.reset();
  out << std::flush;
  err << std::flush;
  return app.status;
}
