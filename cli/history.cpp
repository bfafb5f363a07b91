#include "cli/history.h"

#include "platform/statefile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace zelvo {

namespace {

// Only the strict grammar: a line that a crash or an editor cut or bent is damaged, not half-read.
// Nesting is bounded so that a hostile line cannot exhaust the stack.
class JsonReader {
public:
  enum Fault { None, CutShort, NotJson };

  explicit JsonReader(std::string_view text) : s_(text) {}

  // The members of the one object the text holds, flattened to dotted names.
  bool object(std::vector<ResultField>& fields) {
    space();
    if (!at('{') || !members("", fields)) return false;
    space();
    return i_ == s_.size() || fail();
  }
  Fault fault() const { return fault_; }

private:
  static constexpr int kMaxDepth = 32;

  bool fail() {
    if (fault_ == None) fault_ = i_ >= s_.size() ? CutShort : NotJson;
    return false;
  }
  bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }
  bool take(char c) {
    if (!at(c)) return fail();
    ++i_;
    return true;
  }
  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }

  // The items of an object or a list, from its opening bracket at i_ to close, each read by item.
  template <typename Item> bool sequence(char close, Item item) {
    if (++depth_ > kMaxDepth) return fail();
    ++i_;
    space();
    if (at(close)) {
      ++i_;
      --depth_;
      return true;
    }
    for (;;) {
      space();
      if (!item()) return false;
      space();
      if (at(',')) {
        ++i_;
        continue;
      }
      if (!take(close)) return false;
      --depth_;
      return true;
    }
  }

  bool members(const std::string& prefix, std::vector<ResultField>& fields) {
    return sequence('}', [&] {
      std::string key;
      if (!string(key)) return false;
      space();
      if (!take(':')) return false;
      space();
      const std::string path = prefix + key;
      const std::size_t start = i_;
      if (at('{')) {
        if (!members(path + ".", fields)) return false;
      } else if (at('[')) {
        if (!value()) return false;
        fields.push_back({ResultField::List, path, std::string(s_.substr(start, i_ - start))});
      } else if (at('"')) {
        std::string text;
        if (!string(text)) return false;
        fields.push_back({ResultField::String, path, text});
      } else {
        if (!value()) return false;
        fields.push_back({ResultField::Number, path, std::string(s_.substr(start, i_ - start))});
      }
      return true;
    });
  }

  // Any value, checked and passed over.
  bool value() {
    if (at('"')) {
      std::string ignored;
      return string(ignored);
    }
    if (at('{')) {
      std::vector<ResultField> ignored;
      return members("", ignored);
    }
    if (at('[')) return sequence(']', [&] { return value(); });
    for (const char* word : {"true", "false", "null"}) {
      const std::string_view w(word);
      if (s_.substr(i_, w.size()) == w) {
        i_ += w.size();
        return true;
      }
      if (i_ < s_.size() && s_[i_] == w[0]) {
        // A word that the line's end cut off.
        if (w.substr(0, s_.size() - i_) == s_.substr(i_)) i_ = s_.size();
        return fail();
      }
    }
    return number();
  }

  bool digits() {
    const std::size_t from = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9')
      ++i_;
    return i_ > from || fail();
  }

  bool number() {
    if (at('-')) ++i_;
    if (at('0')) {
      ++i_;
    } else if (!(i_ < s_.size() && s_[i_] >= '1' && s_[i_] <= '9') || !digits()) {
      return fail();
    }
    if (at('.')) {
      ++i_;
      if (!digits()) return false;
    }
    if (at('e') || at('E')) {
      ++i_;
      if (at('+') || at('-')) ++i_;
      if (!digits()) return false;
    }
    return true;
  }

  bool hex4(unsigned& out) {
    out = 0;
    for (int k = 0; k < 4; ++k, ++i_) {
      if (i_ >= s_.size()) return fail();
      const char c = s_[i_];
      const int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (d < 0) return fail();
      out = out * 16 + static_cast<unsigned>(d);
    }
    return true;
  }

  static void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool string(std::string& out) {
    if (!take('"')) return false;
    for (;;) {
      if (i_ >= s_.size()) return fail();
      const unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) {
        --i_;
        return fail();
      }
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (i_ >= s_.size()) return fail();
      const char e = s_[i_++];
      switch (e) {
      case '"':
      case '\\':
      case '/':
        out += e;
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        unsigned cp = 0;
        if (!hex4(cp)) return false;
        if (cp >= 0xDC00 && cp < 0xE000) return fail();
        if (cp >= 0xD800 && cp < 0xDC00) {
          unsigned low = 0;
          if (!take('\\') || !take('u') || !hex4(low)) return false;
          if (low < 0xDC00 || low >= 0xE000) return fail();
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, cp);
        break;
      }
      default:
        --i_;
        return fail();
      }
    }
  }

  std::string_view s_;
  std::size_t i_ = 0;
  int depth_ = 0;
  Fault fault_ = None;
};

const ResultField* find(const std::vector<ResultField>& fields, const std::string& path) {
  for (const ResultField& f : fields)
    if (f.path == path) return &f;
  return nullptr;
}

// A figure that is a number or null (NaN); nothing when it is of another type.
std::optional<double> figure(const ResultField* f) {
  if (!f || f->kind != ResultField::Number || f->value == "true" || f->value == "false") return std::nullopt;
  if (f->value == "null") return std::nan("");
  return std::strtod(f->value.c_str(), nullptr);
}

// Why a line is not a run, or empty when it is one.
std::string readRun(std::string_view line, HistoryRun& run) {
  JsonReader reader(line);
  if (!reader.object(run.fields))
    return reader.fault() == JsonReader::CutShort ? "不完整（被截斷）" : "不是 JSON 物件";
  const ResultField* savedAt = find(run.fields, "saved_at");
  const ResultField* serial = find(run.fields, "serial");
  const std::optional<double> down = figure(find(run.fields, "download_kbps"));
  const std::optional<double> up = figure(find(run.fields, "upload_kbps"));
  const std::optional<double> code = figure(find(run.fields, "error_code"));
  const ResultField* idleField = find(run.fields, "latency.idle.median_ms");
  const std::optional<double> idle = idleField ? figure(idleField) : std::nan("");
  if (!savedAt || savedAt->kind != ResultField::String || !down || !up || !idle || !code ||
      !std::isfinite(*code) || *code != std::floor(*code) || (serial && serial->kind != ResultField::String))
    return "欄位型別不對";
  run.json = std::string(line);
  run.savedAt = savedAt->value;
  run.downloadKbps = *down;
  run.uploadKbps = *up;
  run.idleLatencyMs = *idle;
  run.errorCode = static_cast<long long>(*code);
  run.serial = serial ? serial->value : "";
  return "";
}

long long daysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153LL * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

long long secondsOf(const std::tm& t) {
  return daysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) * 86400 + t.tm_hour * 3600LL +
         t.tm_min * 60LL + t.tm_sec;
}

// ISO 8601 local time with its offset, so that a history moved across time zones still tells the moment.
std::string LocalTimeText(std::time_t t) {
  std::tm local{}, utc{};
  localtime_r(&t, &local);
  gmtime_r(&t, &utc);
  // Zones lie within a day of UTC.
  const int offset = static_cast<int>((secondsOf(local) - secondsOf(utc)) / 60 % (24 * 60));
  const int magnitude = offset < 0 ? -offset : offset;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return buffer;
}

// Columns a terminal gives the text: two for the wide East Asian characters, one for the rest.
std::size_t displayWidth(const std::string& utf8) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    unsigned cp = c;
    std::size_t length = 1;
    if (c >= 0xF0) {
      length = 4, cp = c & 0x07;
    } else if (c >= 0xE0) {
      length = 3, cp = c & 0x0F;
    } else if (c >= 0xC0) {
      length = 2, cp = c & 0x1F;
    }
    for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    width += cp >= 0x2E80 && cp <= 0xFFEF ? 2 : 1;
    i += length;
  }
  return width;
}

std::string padLeft(const std::string& text, std::size_t width) {
  const std::size_t w = displayWidth(text);
  return std::string(w < width ? width - w : 0, ' ') + text;
}
std::string padRight(const std::string& text, std::size_t width) {
  const std::size_t w = displayWidth(text);
  return text + std::string(w < width ? width - w : 0, ' ');
}

bool measured(double kbps) {
  return std::isfinite(kbps) && kbps > 0;
}

std::string mbps(double kbps) {
  if (!measured(kbps)) return "-";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", kbps / 1000);
  return buffer;
}

} // namespace

std::optional<std::filesystem::path> HistoryFilePath() {
  std::optional<std::filesystem::path> folder = platform::UserStateFolder("zelvo-speedtest", "Zelvo");
  if (!folder) return std::nullopt;
  return *folder / kHistoryFileName;
}

std::string HistoryLine(const std::string& resultJson, std::time_t savedAt) {
  std::string body = resultJson.size() >= 2 ? resultJson.substr(1, resultJson.size() - 2) : "";
  return "{\"saved_at\":" + JsonString(LocalTimeText(savedAt)) + (body.empty() ? "" : ",") + body + "}\n";
}

bool SaveToHistory(const std::filesystem::path& file, const std::string& resultJson, std::time_t savedAt,
                   std::string& error) {
  if (!platform::MakePrivateFolder(file.parent_path(), error)) return false;
  platform::AppendOutcome appended = platform::AppendWholeLine(file, HistoryLine(resultJson, savedAt));
  if (!appended.ok) error = appended.error;
  return appended.ok;
}

HistoryListing ParseHistory(const std::string& content, std::size_t last) {
  // The lines with their numbers; a text ending in a newline has no line after it.
  std::vector<std::pair<std::size_t, std::string_view>> lines;
  const std::string_view text(content);
  for (std::size_t start = 0, number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(number, line);
    start = end + 1;
  }
  HistoryListing listing;
  for (auto it = lines.rbegin(); it != lines.rend() && listing.runs.size() < last; ++it) {
    if (it->second.find_first_not_of(" \t") == std::string_view::npos) continue; // no run, nothing lost
    HistoryRun run;
    run.line = it->first;
    std::string why = readRun(it->second, run);
    if (why.empty())
      listing.runs.push_back(std::move(run));
    else
      listing.damagedLines.push_back({it->first, why});
  }
  std::reverse(listing.runs.begin(), listing.runs.end());
  std::reverse(listing.damagedLines.begin(), listing.damagedLines.end());
  return listing;
}

double MedianOfMeasured(std::vector<double> values) {
  values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return !measured(v); }),
               values.end());
  if (values.empty()) return std::nan("");
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string HistoryTable(const HistoryListing& listing, bool unicode) {
  std::string out = padRight("日期時間", 16) + padLeft("下載 Mbps", 11) + padLeft("上傳 Mbps", 11) +
                    padLeft("閒置延遲 ms", 13) + padLeft("代碼", 6) + "  序號\n";
  std::vector<double> down, up;
  for (const HistoryRun& run : listing.runs) {
    std::string when = run.savedAt.substr(0, 16);
    if (when.size() > 10 && when[10] == 'T') when[10] = ' ';
    char latency[32] = "-";
    if (std::isfinite(run.idleLatencyMs)) std::snprintf(latency, sizeof latency, "%.1f", run.idleLatencyMs);
    out += padRight(when, 16) + padLeft(mbps(run.downloadKbps), 11) + padLeft(mbps(run.uploadKbps), 11) +
           padLeft(latency, 13) + padLeft(std::to_string(run.errorCode), 6) +
           (run.serial.empty() ? "" : "  " + run.serial) + "\n";
    // A run that measured nothing is a gap in the line, not its lowest level.
    down.push_back(measured(run.downloadKbps) ? run.downloadKbps : std::nan(""));
    up.push_back(measured(run.uploadKbps) ? run.uploadKbps : std::nan(""));
  }
  for (bool download : {true, false}) {
    const std::vector<double>& values = download ? down : up;
    const double median = MedianOfMeasured(values);
    out += std::string(download ? "下載  " : "上傳  ") + Sparkline(values, unicode) + "  中位數 " +
           (std::isfinite(median) ? mbps(median) + " Mbps" : std::string("-")) + "\n";
  }
  return out;
}

std::string HistoryJson(const HistoryListing& listing) {
  if (listing.runs.empty()) return "[]\n";
  std::string out = "[\n";
  for (std::size_t i = 0; i < listing.runs.size(); ++i)
    out += listing.runs[i].json + (i + 1 < listing.runs.size() ? ",\n" : "\n");
  return out + "]\n";
}

std::string HistoryCsv(const HistoryListing& listing) {
  // Runs saved by other versions may have names this one lacks, or the other way round.
  std::vector<ResultField> columns;
  for (const HistoryRun& run : listing.runs)
    for (const ResultField& f : run.fields)
      if (f.kind != ResultField::List && !find(columns, f.path))
        columns.push_back({ResultField::Number, f.path, ""});
  std::string out = CsvHeader(columns) + "\n";
  for (const HistoryRun& run : listing.runs) {
    std::vector<ResultField> row;
    for (const ResultField& column : columns) {
      const ResultField* f = find(run.fields, column.path);
      row.push_back(f ? *f : ResultField{ResultField::Number, column.path, "null"});
    }
    out += CsvLine(row) + "\n";
  }
  return out;
}

int ShowHistory(const std::filesystem::path& file, std::size_t last, OutputFormat format, bool unicode,
                std::ostream& out, std::ostream& err) {
  const std::string where = platform::PathText(file);
  const platform::ReadOutcome read = platform::ReadLockedFile(file);
  if (read.status == platform::ReadOutcome::Failed) {
    err << "無法讀取測速紀錄 " << where << "：" << read.error << "\n" << std::flush;
    return 1;
  }
  const HistoryListing listing =
      read.status == platform::ReadOutcome::Read ? ParseHistory(read.content, last) : HistoryListing{};
  for (const HistoryListing::Damaged& d : listing.damagedLines)
    err << "測速紀錄第 " << d.line << " 行" << d.why << "，略過。\n";
  err << std::flush;
  const bool human = format == OutputFormat::Human;
  if (listing.runs.empty()) {
    // Told plainly; a machine format still gets its empty answer on standard output.
    (human ? out : err) << (read.status == platform::ReadOutcome::Missing
                                ? "還沒有儲存過測速結果（" + where +
                                      " 不存在）；測速時加上 --save 就會記下結果。"
                                : "測速紀錄 " + where + " 裡沒有任何測速結果。")
                        << "\n";
  }
  switch (format) {
  case OutputFormat::Human:
    if (!listing.runs.empty())
      out << "最近 " << listing.runs.size() << " 次測速（" << where << "）\n"
          << HistoryTable(listing, unicode);
    break;
  case OutputFormat::Json:
    out << HistoryJson(listing);
    break;
  case OutputFormat::Jsonl:
    for (const HistoryRun& run : listing.runs)
      out << run.json << "\n";
    break;
  case OutputFormat::Csv:
    if (!listing.runs.empty()) out << HistoryCsv(listing);
    break;
  }
  out << std::flush;
  err << std::flush;
  return 0;
}

} // namespace zelvo
