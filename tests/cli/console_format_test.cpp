// The console's machine-readable shapes: nested JSON from dotted names, CSV cells and the sparkline.

#include "cli/console.h"
#include "platform/icmp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace zelvo::test {
namespace {

TEST(ConsoleFormat, DottedFieldsNestInJsonAndFlattenInCsv) {
  std::vector<ResultField> fields = {
      {ResultField::Number, "download_kbps", "1234.50"},
      {ResultField::List, "samples.download_ftp", "[1,2]"},
      {ResultField::Number, "latency.idle.min_ms", "0.00"},
      {ResultField::String, "serial", "a,\"b\""},
      {ResultField::Number, "latency.idle.jitter_ms", "null"},
      {ResultField::String, "latency.grade", "A+"},
  };
  EXPECT_EQ(FieldsJson(fields),
            "{\"download_kbps\":1234.50,\"samples\":{\"download_ftp\":[1,2]},"
            "\"latency\":{\"idle\":{\"min_ms\":0.00,\"jitter_ms\":null},\"grade\":\"A+\"},"
            "\"serial\":\"a,\\\"b\\\"\"}");
  EXPECT_EQ(CsvHeader(fields),
            "download_kbps,latency.idle.min_ms,serial,latency.idle.jitter_ms,latency.grade");
  EXPECT_EQ(CsvLine(fields), "1234.50,0.00,\"a,\"\"b\"\"\",,A+");
}

TEST(ConsoleFormat, SparklineScalesToTheHighestValue) {
  EXPECT_EQ(Sparkline({0, 50, 100}, true), "▁▅█");
  EXPECT_EQ(Sparkline({0, 50, 100}, false), "_=#");
  EXPECT_EQ(Sparkline({0, 0}, false), "__");
  // Nothing measured is a gap, not the lowest level.
  EXPECT_EQ(Sparkline({100, std::nan(""), 50}, false), "# =");
}

// A run given up at the latency gate (code 11) in each format, with the probe's open error the
// presenter is told.
struct GivenUpRun {
  std::string out, err;
  std::optional<int> status;
};
GivenUpRun giveUpAtTheLatencyGate(OutputFormat format, std::uint32_t probeError) {
  auto record = std::make_shared<TestRecord>();
  record->errorCode = kLatencyTimeout;
  std::ostringstream out, err;
  ConsoleOptions options;
  options.format = format;
  options.csvHeader = true;
  ConsolePresenter presenter(options, out, err, [](const std::string& text) { return text; });
  RunController controller(record, FrontendServices{}, presenter);
  presenter.attach(controller);
  presenter.latencyProbeError = [probeError] { return probeError; };
  EngineMessage verdict;
  verdict.message = kMsgVersion;
  verdict.wParam = 0;
  presenter.present(verdict);
  return {out.str(), err.str(), presenter.exitStatus()};
}

TEST(ConsoleFormat, AProbeWithoutPermissionToSendIsExplainedInEveryFormat) {
  GivenUpRun human = giveUpAtTheLatencyGate(OutputFormat::Human, platform::kErrorAccessDenied);
  EXPECT_EQ(human.status, kLatencyTimeout);
  // The last line of the error output names the missing permission and both remedies.
  std::string why = human.err.substr(human.err.rfind('\n', human.err.size() - 2) + 1);
  why.pop_back();
  for (const char* part : {"cap_net_raw", "zelvo-speedtest 套件", "net.ipv4.ping_group_range"})
    EXPECT_NE(why.find(part), std::string::npos) << part << " in " << why;

  GivenUpRun json = giveUpAtTheLatencyGate(OutputFormat::Json, platform::kErrorAccessDenied);
  EXPECT_EQ(json.status, kLatencyTimeout);
  EXPECT_NE(json.out.find("\"error\":" + JsonString(why)), std::string::npos) << json.out;

  GivenUpRun csv = giveUpAtTheLatencyGate(OutputFormat::Csv, platform::kErrorAccessDenied);
  std::istringstream lines(csv.out);
  std::string header, line;
  std::getline(lines, header);
  std::getline(lines, line);
  EXPECT_NE(header.find(",latency.error,"), std::string::npos) << header;
  EXPECT_NE(line.find("cap_net_raw"), std::string::npos) << line;

  // A probe that could open its socket, or failed for another reason, has nothing to explain.
  for (std::uint32_t error : {0u, platform::kErrorGenFailure}) {
    GivenUpRun quiet = giveUpAtTheLatencyGate(OutputFormat::Human, error);
    EXPECT_EQ(quiet.err.find("cap_net_raw"), std::string::npos) << quiet.err;
    EXPECT_NE(giveUpAtTheLatencyGate(OutputFormat::Json, error).out.find("\"error\":null"),
              std::string::npos);
  }
}

TEST(ConsoleFormat, LinkFactsAndDiagnosisComeLastAndFollowTheJsonlResult) {
  GivenUpRun jsonl = giveUpAtTheLatencyGate(OutputFormat::Jsonl, 0);
  std::vector<std::string> lines;
  std::istringstream in(jsonl.out);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  ASSERT_GE(lines.size(), 2u);
  const std::string& result = lines[lines.size() - 2];
  const std::string& diagnosis = lines.back();
  EXPECT_NE(result.find("\"event\":\"result\""), std::string::npos);
  EXPECT_EQ(result.find("\"link\""), std::string::npos) << result;
  EXPECT_EQ(diagnosis.find("{\"event\":\"diagnosis\","), 0u) << diagnosis;
  // Nothing measured and no adapter known: every fact null, both verdicts unknown.
  EXPECT_NE(diagnosis.find("\"link\":{\"medium\":null,\"speed_kbps\":null,"), std::string::npos) << diagnosis;
  EXPECT_NE(diagnosis.find("\"download\":{\"limit\":\"unknown\""), std::string::npos) << diagnosis;
  EXPECT_NE(diagnosis.find("\"upload\":{\"limit\":\"unknown\""), std::string::npos) << diagnosis;

  GivenUpRun csv = giveUpAtTheLatencyGate(OutputFormat::Csv, 0);
  const std::string header = csv.out.substr(0, csv.out.find('\n'));
  const std::string tail = ",link.channel_width_mhz,link.standard,diagnosis.download.limit,"
                           "diagnosis.download.evidence,diagnosis.download.advice,diagnosis.upload.limit,"
                           "diagnosis.upload.evidence,diagnosis.upload.advice";
  EXPECT_EQ(header.substr(header.size() - tail.size()), tail);
  EXPECT_LT(header.find("tcp.upload.connections"), header.find("link.medium"));
}

} // namespace
} // namespace zelvo::test
