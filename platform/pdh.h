#pragma once
// Performance data stand-in for the one counter the client reads, "\Processor(_Total)\% Processor
// Time": the busy share of all processors between the last two collections, from /proc/stat.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zelvo::platform {

inline constexpr const char* kProcessorTimeCounter = "\\Processor(_Total)\\% Processor Time";

// The "cpu" line's busy and total ticks; none when the text has no such line.
struct CpuTicks {
  std::uint64_t busy = 0, total = 0;
};
std::optional<CpuTicks> ParseProcStat(const std::string& text);
// Percent busy between two readings, at most 100; none when either is missing or no time passed.
std::optional<double> BusyPercent(const std::optional<CpuTicks>& previous,
                                  const std::optional<CpuTicks>& latest);

// One query with at most one counter. Used by one thread at a time.
class PdhQuery {
public:
  using StatReader = std::function<std::optional<std::string>()>;
  // Reads /proc/stat (Windows: the system's performance data) unless given another reader.
  explicit PdhQuery(StatReader reader = {});

  // Only the processor time counter exists; false for any other path.
  bool addCounter(const std::string& path);
  void removeCounter();
  // Takes a reading; false when there is no counter or /proc/stat cannot be read.
  bool collect();
  // Percent busy between the last two readings; false before two readings or when no time passed.
  bool formattedDouble(double& value) const;

private:
  // The reader's path, shared by every platform: a /proc/stat-style reading, and the share between
  // the last two.
  bool collectFromReader();
  bool readerValue(double& value) const;

  StatReader reader_;
  bool counter_ = false;
  std::optional<CpuTicks> previous_, latest_;
  std::shared_ptr<void> native_; // Windows: the open query, when no reader was given
};

} // namespace zelvo::platform
