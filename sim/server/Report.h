#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "sim/server/GameMode.h"

namespace SimServer {

struct TickRecord {
  double startSeconds;  // since the loop began
  double durationMs;    // the tick's own work, the save request included
  bool saveRequested;
};

struct RunSummary {
  bool pluginsLoaded = false;
  std::size_t worldMegabytes = 0;
  int savesAskedFor = 0;
  int savesAccepted = 0;  // the server's routine was entered
  int savesRefused = 0;
  int savesFailed = 0;
  double tickBudgetMs = 0;
  std::vector<TickRecord> ticks;
  std::vector<SaveSpan> saves;  // from request to end; the last may be still running
  int finalRequest = 0;         // the number of the save request made at exit; 0: none
};

// `value` with `decimals` digits after the point.
std::string Fixed(double value, int decimals);
// Writes `text` as the whole of `file`; throws std::runtime_error naming the file and the
// system's reason when any part of it, the final flush and close included, fails.
void WriteReport(const std::filesystem::path& file, const std::string& text);

double LongestTickMs(const RunSummary& summary);
// From start to end, of each save that completed.
std::vector<double> CompletedSaveSeconds(const RunSummary& summary);
double PercentileTickMs(const RunSummary& summary, double percentile);

// The table printed at exit.
std::string FormatTable(const RunSummary& summary);
// key=value lines, for scripts.
void WriteSummaryFile(const RunSummary& summary, const std::filesystem::path& file);
void WriteTicksCsv(const RunSummary& summary, const std::filesystem::path& file);
// requested_s,started_s,ended_s,completed,running for each save.
void WriteSavesCsv(const RunSummary& summary, const std::filesystem::path& file);
// Reads back what the four writers wrote into a server directory (the per-run chart aside).
// Throws std::runtime_error naming the file, and the line, that is missing, malformed, not
// finite or out of range.
RunSummary ReadRun(const std::filesystem::path& serverDir);

// Throws std::runtime_error with the system's reason when `file` cannot be written, so that a
// run is refused before it starts rather than failing at its end. Leaves nothing behind.
void CheckWritable(const std::filesystem::path& file);
// The run's chart: tick times over the run, on the comparison's scales, its saves shaded.
void WriteTicksSvg(const RunSummary& summary, const std::filesystem::path& file);

// Writes the run's four reports (ticks.csv and ticks.svg where given, saves.csv and
// summary.txt in `serverDir`) so that a failure leaves the last run's set or none, never a mix:
// each goes to a temporary file beside it, and only once all are written are they renamed into
// place. A report whose path is a device (/dev/null) is written in place. Throws
// std::runtime_error naming the file and the system's reason.
void WriteRunReports(const RunSummary& summary, const std::filesystem::path& ticksCsv,
                     const std::filesystem::path& ticksSvg, const std::filesystem::path& serverDir);

}  // namespace SimServer
