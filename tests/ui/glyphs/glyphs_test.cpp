// Every text the window shows can be drawn with the fonts this machine has: the box captions and
// texts of the built-in configuration, the terms and announcement the test bed serves, the labels,
// the window title and the retry box buttons. A missing font shows empty boxes instead.

#include "engine/config.h"
#include "engine/document.h"
#include "platform/cp950.h"
#include "ui/mainform.h"
#include "ui/version.h"

#include <gtest/gtest.h>
#include <pango/pangocairo.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace zelvo {
namespace {

// Glyphs the fonts (with fallback) cannot draw when `text` is laid out in `font`.
int unknownGlyphs(const std::string& text, const char* font) {
  PangoFontMap* map = pango_cairo_font_map_get_default();
  PangoContext* context = pango_font_map_create_context(map);
  PangoLayout* layout = pango_layout_new(context);
  PangoFontDescription* description = pango_font_description_from_string(font);
  pango_layout_set_font_description(layout, description);
  pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
  const int unknown = pango_layout_get_unknown_glyphs_count(layout);
  pango_font_description_free(description);
  g_object_unref(layout);
  g_object_unref(context);
  return unknown;
}

std::string boxText(const char* letters) {
  return letters ? platform::Cp950ToUtf8(decodeLetterPairs(letters)).value_or("\xef\xbf\xbd") : "";
}

// The test bed's terms and announcement (plain JSON strings without escapes).
std::string servedText(const std::string& key) {
  std::ifstream in(std::string(ZELVO_SOURCE_DIR) + "/service/zelvo_service.json");
  std::stringstream all;
  all << in.rdbuf();
  const std::string json = all.str();
  const std::string opening = "\"" + key + "\": \"";
  const std::size_t start = json.find(opening);
  if (start == std::string::npos) return "";
  const std::size_t begin = start + opening.size();
  const std::size_t end = json.find('"', begin);
  return end == std::string::npos ? "" : json.substr(begin, end - begin);
}

TEST(Glyphs, EveryTextOfTheWindowHasItsGlyphs) {
  // The fonts the window asks for; fallback has to find the Chinese characters.
  const char* const memoFont = "MS Sans Serif 11";
  const char* const labelFont = "Arial Bold 9";
  const char* const boxFont = "Sans 10";
  std::vector<std::pair<std::string, const char*>> texts = {
      {servedText("agreement"), memoFont},
      {servedText("announcement"), memoFont},
      {kWindowTitle, boxFont},
      {kRetryLabel, boxFont},
      {kCancelLabel, boxFont},
      {"Ver " + FileVersionText() + "\nRelease Date:" + kReleaseDateText + "\n", labelFont},
      {"20260001 2026/12/09 03:10:00", labelFont},
  };
  ASSERT_FALSE(texts[0].first.empty());
  ASSERT_FALSE(texts[1].first.empty());
  int boxTexts = 0;
  for (int code = 0; code <= 13; ++code)
    for (const char* letters : {BuiltInCaption(code), BuiltInText(code)}) {
      const std::string text = boxText(letters);
      if (text.empty()) continue;
      texts.emplace_back(text, boxFont);
      ++boxTexts;
    }
  EXPECT_GE(boxTexts, 18) << "the tables hold 28 entries, 10 of them empty";
  for (const auto& [text, font] : texts)
    EXPECT_EQ(unknownGlyphs(text, font), 0) << font << ": " << text;
}

} // namespace
} // namespace zelvo
