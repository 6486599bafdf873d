#include "sim/server/Report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "platform/RegularFile.h"
#include "sim/os/Files.h"
#include "sim/server/Chart.h"
#include "sim/server/World.h"

namespace SimServer {
namespace {

// Only a regular file: a FIFO in a report's place would hang the comparison, a directory reads
// as empty.
std::istringstream OpenForReading(const std::filesystem::path& file) {
  try {
    return std::istringstream(tamsel::platform::ReadRegularFile(file, std::size_t{1} << 30));
  } catch (const std::exception& failure) {
    throw std::runtime_error(file.u8string() + ": " + failure.what());
  }
}

[[noreturn]] void RefuseLine(const std::filesystem::path& file, std::size_t lineNumber,
                             const std::string& line, const std::string& why) {
  throw std::runtime_error(file.u8string() + ", line " + std::to_string(lineNumber) + ": " + why +
                           " in \"" + line.substr(0, 80) + "\"");
}

// A number that a chart or a table can show: finite, between `low` and `high`, and whole when
// `whole` says so.
double CheckedNumber(const std::string& text, double low, double high, bool whole,
                     const std::filesystem::path& file, std::size_t lineNumber,
                     const std::string& line) {
  std::size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    RefuseLine(file, lineNumber, line, "not a number");
  }
  if (used != text.size()) RefuseLine(file, lineNumber, line, "not a number");
  if (!std::isfinite(value)) RefuseLine(file, lineNumber, line, "not a finite number");
  if (value < low || value > high || (whole && value != std::floor(value))) {
    RefuseLine(
        file, lineNumber, line,
        "out of range (" + Fixed(low, 0) + " to " + Fixed(high, 0) + (whole ? ", whole)" : ")"));
  }
  return value;
}

// The comma-separated fields of one line, each checked against its range.
struct FieldRange {
  double low;
  double high;
  bool whole;
};
std::vector<double> ParseCsvLine(const std::string& line, const std::vector<FieldRange>& ranges,
                                 const std::filesystem::path& file, std::size_t lineNumber) {
  std::vector<std::string> fields;
  std::istringstream input(line);
  std::string field;
  while (std::getline(input, field, ','))
    fields.push_back(field);
  if (fields.size() != ranges.size()) {
    RefuseLine(file, lineNumber, line, std::to_string(ranges.size()) + " fields expected");
  }
  std::vector<double> values;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    values.push_back(CheckedNumber(fields[i], ranges[i].low, ranges[i].high, ranges[i].whole, file,
                                   lineNumber, line));
  }
  return values;
}

// Far beyond any real run, and still small enough to chart.
constexpr double kLongestSeconds = 1e9;
constexpr double kLongestMs = kLongestSeconds * 1000;
constexpr double kMostCount = 1e9;

}  // namespace

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

void WriteReport(const std::filesystem::path& file, const std::string& text) {
  errno = 0;
  std::FILE* out = SimOs::OpenFile(file, "wb");
  if (out == nullptr) {
    throw std::runtime_error("cannot write " + file.u8string() + ": " + SystemReason(errno));
  }
  // A full disk shows at the flush or the close, not always at the write.
  bool written =
      std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0;
  int reason = errno;
  if (std::fclose(out) != 0 && written) {
    written = false;
    reason = errno;
  }
  if (!written) {
    throw std::runtime_error("cannot write " + file.u8string() + ": " + SystemReason(reason));
  }
}

double LongestTickMs(const RunSummary& summary) {
  double longest = 0;
  for (const auto& tick : summary.ticks)
    longest = std::max(longest, tick.durationMs);
  return longest;
}

std::vector<double> CompletedSaveSeconds(const RunSummary& summary) {
  std::vector<double> durations;
  for (const SaveSpan& save : summary.saves) {
    if (save.completed) durations.push_back(save.endedSeconds - save.startedSeconds);
  }
  return durations;
}

double PercentileTickMs(const RunSummary& summary, double percentile) {
  if (summary.ticks.empty()) return 0;
  std::vector<double> durations;
  for (const auto& tick : summary.ticks)
    durations.push_back(tick.durationMs);
  std::sort(durations.begin(), durations.end());
  const auto last = static_cast<double>(durations.size() - 1);
  const auto index = static_cast<std::size_t>(std::lround(percentile / 100.0 * last));
  return durations[std::min(index, durations.size() - 1)];
}

std::string FormatTable(const RunSummary& summary) {
  const std::vector<double> saves = CompletedSaveSeconds(summary);
  std::ostringstream table;
  auto row = [&table](const std::string& name, const std::string& value) {
    table << "  " << name << std::string(26 - name.size(), ' ') << value << "\n";
  };
  row("plug-ins", summary.pluginsLoaded ? "loaded" : "none");
  row("saves asked for", std::to_string(summary.savesAskedFor));
  row("saves accepted", std::to_string(summary.savesAccepted));
  row("saves refused", std::to_string(summary.savesRefused));
  row("saves failed", std::to_string(summary.savesFailed));
  row("ticks", std::to_string(summary.ticks.size()) + " (budget " + Fixed(summary.tickBudgetMs, 1) +
                   " ms each)");
  row("longest tick", Fixed(LongestTickMs(summary), 1) + " ms");
  row("99th percentile tick", Fixed(PercentileTickMs(summary, 99), 1) + " ms");
  if (summary.finalRequest > 0) {
    row("final save", "request " + std::to_string(summary.finalRequest) + ", asked for at exit");
  }
  if (saves.empty()) {
    row("save duration", "no save completed");
  } else {
    double total = 0;
    for (double seconds : saves)
      total += seconds;
    row("save duration", "min " + Fixed(*std::min_element(saves.begin(), saves.end()), 3) +
                             " s, mean " + Fixed(total / saves.size(), 3) + " s, max " +
                             Fixed(*std::max_element(saves.begin(), saves.end()), 3) + " s");
  }
  return table.str();
}

void WriteSummaryFile(const RunSummary& summary, const std::filesystem::path& file) {
  std::ostringstream out;
  out << "plugins_loaded=" << (summary.pluginsLoaded ? 1 : 0) << "\n"
      << "world_mb=" << summary.worldMegabytes << "\n"
      << "saves_completed=" << CompletedSaveSeconds(summary).size() << "\n"
      << "saves_asked=" << summary.savesAskedFor << "\n"
      << "saves_accepted=" << summary.savesAccepted << "\n"
      << "saves_refused=" << summary.savesRefused << "\n"
      << "saves_failed=" << summary.savesFailed << "\n"
      << "tick_budget_ms=" << Fixed(summary.tickBudgetMs, 3) << "\n"
      << "ticks=" << summary.ticks.size() << "\n"
      << "longest_tick_ms=" << Fixed(LongestTickMs(summary), 3) << "\n"
      << "p99_tick_ms=" << Fixed(PercentileTickMs(summary, 99), 3) << "\n";
  double longestSave = 0;
  for (double seconds : CompletedSaveSeconds(summary))
    longestSave = std::max(longestSave, seconds);
  out << "longest_save_s=" << Fixed(longestSave, 3) << "\n"
      << "final_request=" << summary.finalRequest << "\n";
  WriteReport(file, out.str());
}

void WriteTicksCsv(const RunSummary& summary, const std::filesystem::path& file) {
  std::ostringstream out;
  out << "tick,start_s,duration_ms,save_requested\n";
  for (std::size_t i = 0; i < summary.ticks.size(); ++i) {
    const auto& tick = summary.ticks[i];
    out << i << "," << Fixed(tick.startSeconds, 4) << "," << Fixed(tick.durationMs, 3) << ","
        << (tick.saveRequested ? 1 : 0) << "\n";
  }
  WriteReport(file, out.str());
}

void WriteSavesCsv(const RunSummary& summary, const std::filesystem::path& file) {
  std::ostringstream out;
  out << "requested_s,started_s,ended_s,completed,running\n";
  for (const SaveSpan& save : summary.saves) {
    out << Fixed(save.requestedSeconds, 6) << "," << Fixed(save.startedSeconds, 6) << ","
        << Fixed(save.endedSeconds, 6) << "," << (save.completed ? 1 : 0) << ","
        << (save.running ? 1 : 0) << "\n";
  }
  WriteReport(file, out.str());
}

RunSummary ReadRun(const std::filesystem::path& serverDir) {
  RunSummary run;
  std::string line;
  const auto summaryFile = serverDir / "summary.txt";
  auto summary = OpenForReading(summaryFile);
  struct Entry {
    std::string text;
    std::size_t lineNumber;
    std::string line;
  };
  std::map<std::string, Entry> values;
  for (std::size_t lineNumber = 1; std::getline(summary, line); ++lineNumber) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) {
      values[line.substr(0, equals)] = {line.substr(equals + 1), lineNumber, line};
    }
  }
  const auto number = [&](const std::string& key, double low, double high, bool whole) {
    const auto found = values.find(key);
    if (found == values.end()) {
      throw std::runtime_error(summaryFile.u8string() + ": no " + key + " line");
    }
    const Entry& entry = found->second;
    return CheckedNumber(entry.text, low, high, whole, summaryFile, entry.lineNumber, entry.line);
  };
  run.pluginsLoaded = number("plugins_loaded", 0, 1, true) != 0;
  run.worldMegabytes = static_cast<std::size_t>(number("world_mb", 0, 1 << 30, true));
  run.savesAskedFor = static_cast<int>(number("saves_asked", 0, kMostCount, true));
  run.savesAccepted = static_cast<int>(number("saves_accepted", 0, kMostCount, true));
  run.savesRefused = static_cast<int>(number("saves_refused", 0, kMostCount, true));
  run.savesFailed = static_cast<int>(number("saves_failed", 0, kMostCount, true));
  run.tickBudgetMs = number("tick_budget_ms", 1e-3, kLongestMs, false);
  run.finalRequest = static_cast<int>(number("final_request", 0, kMostCount, true));

  const auto ticksFile = serverDir / "ticks.csv";
  auto ticks = OpenForReading(ticksFile);
  std::getline(ticks, line);  // the heading
  for (std::size_t lineNumber = 2; std::getline(ticks, line); ++lineNumber) {
    const auto fields = ParseCsvLine(
        line,
        {{0, kMostCount, true}, {0, kLongestSeconds, false}, {0, kLongestMs, false}, {0, 1, true}},
        ticksFile, lineNumber);
    run.ticks.push_back({fields[1], fields[2], fields[3] != 0});
  }
  if (run.ticks.empty()) throw std::runtime_error(ticksFile.u8string() + ": no ticks");
  const auto savesFile = serverDir / "saves.csv";
  auto saves = OpenForReading(savesFile);
  std::getline(saves, line);
  for (std::size_t lineNumber = 2; std::getline(saves, line); ++lineNumber) {
    const FieldRange time{0, kLongestSeconds, false};
    const FieldRange flag{0, 1, true};
    const auto fields = ParseCsvLine(line, {time, time, time, flag, flag}, savesFile, lineNumber);
    if (fields[1] < fields[0] || fields[2] < fields[1])
      RefuseLine(savesFile, lineNumber, line, "a save that ends before its request");
    run.saves.push_back({fields[0], fields[1], fields[2], fields[3] != 0, fields[4] != 0});
  }
  return run;
}

void CheckWritable(const std::filesystem::path& file) {
  std::error_code error;
  if (std::filesystem::is_directory(file, error)) {
    throw std::runtime_error("cannot write " + file.u8string() + ": " +
                             std::make_error_code(std::errc::is_a_directory).message());
  }
  const bool existed = std::filesystem::exists(file, error);
  errno = 0;
  std::FILE* probe = SimOs::OpenFile(file, "ab");
  if (probe == nullptr) {
    throw std::runtime_error("cannot write " + file.u8string() + ": " +
                             SystemReason(errno != 0 ? errno : EACCES));
  }
  std::fclose(probe);
  if (!existed) std::filesystem::remove(file, error);
}

void WriteTicksSvg(const RunSummary& summary, const std::filesystem::path& file) {
  const std::string title = summary.pluginsLoaded ? "With the plug-ins" : "Without plug-ins";
  WriteReport(file, ChartSvg("Game-loop tick times, " + std::to_string(summary.worldMegabytes) +
                                 " MiB world",
                             {StandInCaption(summary)}, {{&summary, title}}));
}

void WriteRunReports(const RunSummary& summary, const std::filesystem::path& ticksCsv,
                     const std::filesystem::path& ticksSvg,
                     const std::filesystem::path& serverDir) {
  struct Report {
    std::filesystem::path file;
    void (*write)(const RunSummary&, const std::filesystem::path&);
    std::filesystem::path written;  // the temporary file, or the file itself when in place
  };
  std::vector<Report> reports = {{ticksCsv, &WriteTicksCsv, {}},
                                 {ticksSvg, &WriteTicksSvg, {}},
                                 {serverDir / "saves.csv", &WriteSavesCsv, {}},
                                 {serverDir / "summary.txt", &WriteSummaryFile, {}}};
  const auto removeTemporaries = [&reports] {
    std::error_code ignored;
    for (const Report& report : reports) {
      if (!report.written.empty() && report.written != report.file) {
        std::filesystem::remove(report.written, ignored);
      }
    }
  };
  try {
    for (Report& report : reports) {
      std::error_code unknown;
      const auto status = std::filesystem::status(report.file, unknown);
      const bool inPlace =
          std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
      report.written = report.file;
      if (!inPlace) report.written += ".tmp";
      report.write(summary, report.written);
    }
  } catch (...) {
    removeTemporaries();
    throw;
  }
  for (const Report& report : reports) {
    if (report.written == report.file) continue;
    std::error_code renamed;
    std::filesystem::rename(report.written, report.file, renamed);
    if (renamed) {
      // Some reports are this run's now and some the last one's: none is better than a mix.
      removeTemporaries();
      std::error_code ignored;
      for (const Report& other : reports) {
        if (other.written != other.file) std::filesystem::remove(other.file, ignored);
      }
      throw std::runtime_error("cannot replace " + report.file.u8string() + ": " +
                               renamed.message() +
                               "; the reports were removed rather than left from two runs");
    }
  }
}

}  // namespace SimServer
