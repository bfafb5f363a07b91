// Decoding cost of the built-in pictures: the result page's pictures, the digit display, and every
// picture of the program. Prints name=value lines (milliseconds, median of repeated runs).

#include "ui/imageloader.h"
#include "ui/resources.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using Load = std::pair<std::string, std::string>; // name, type

double medianMs(const std::vector<Load>& loads, int rounds) {
  std::vector<double> times;
  zelvo::ImageComponent image;
  for (int r = 0; r < rounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (const auto& [name, type] : loads)
      if (!zelvo::vLoadImage(image, name, type).loaded()) {
        std::fprintf(stderr, "pictures: cannot load %s\n", name.c_str());
        std::exit(1);
      }
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

} // namespace

int main() {
  // The result page: its builder's seven pictures, the report button and the serial caption, and
  // the distinct pictures of the speeds shown (85.43 and 9.07 Mbps).
  const std::vector<Load> resultPage = {{"BACKGROUND_OVER", "PNG"}, {"TEST_END", "PNG"}, {"BUTTON_RT", "PNG"},
                                        {"BUTTON_Q", "PNG"},        {"DOWNLINK", "PNG"}, {"UPLINK", "PNG"},
                                        {"APPLOGO", "PNG"},         {"BUTTON_R", "PNG"}, {"SERIAL", "PNG"},
                                        {"DIGIT_8", "PNG"},         {"POINT", "PNG"},    {"MBPS", "PNG"}};
  // The digit display: eight loads a row, both rows.
  std::vector<Load> digits;
  for (const char* d : {"DIGIT_8", "DIGIT_5", "POINT", "DIGIT_4", "DIGIT_3", "MBPS", "DIGIT_9", "POINT",
                        "DIGIT_0", "DIGIT_7", "MBPS"})
    digits.push_back({d, "PNG"});
  std::vector<Load> all;
  for (const auto& r : zelvo::embeddedResources())
    all.push_back({r.name, r.type});

  const int rounds = 41;
  std::printf("page_pictures=%zu\n", resultPage.size());
  std::printf("page_decode_ms=%.3f\n", medianMs(resultPage, rounds));
  std::printf("digits_decode_ms=%.3f\n", medianMs(digits, rounds));
  std::printf("testing_page_decode_ms=%.3f\n",
              medianMs({{"LOAD", "PNG"}, {"ROTATION", "GIF"}, {"BUTTON_Q", "PNG"}}, rounds));
  std::printf("all_pictures=%zu\n", all.size());
  std::printf("all_decode_ms=%.3f\n", medianMs(all, 11));
  return 0;
}
