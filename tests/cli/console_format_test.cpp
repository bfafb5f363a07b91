// The console's machine-readable shapes: nested JSON from dotted names, CSV cells and the sparkline.

#include "cli/console.h"

#include <gtest/gtest.h>

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
}

} // namespace
} // namespace zelvo::test
