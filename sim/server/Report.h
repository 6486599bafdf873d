#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace SimServer {

struct TickRecord {
  double startSeconds;  // since the loop began
  double durationMs;    // the tick's own work, the save request included
  bool saveRequested;
};

struct RunSummary {
  bool pluginsLoaded = false;
  int savesAskedFor = 0;
  int savesAccepted = 0;  // the server's routine was entered
  int savesRefused = 0;
  int savesFailed = 0;
  double tickBudgetMs = 0;
  std::vector<TickRecord> ticks;
  std::vector<double> saveDurationsSeconds;
};

double LongestTickMs(const RunSummary& summary);
double PercentileTickMs(const RunSummary& summary, double percentile);

// The table printed at exit.
std::string FormatTable(const RunSummary& summary);
// key=value lines, for scripts.
void WriteSummaryFile(const RunSummary& summary, const std::filesystem::path& file);
void WriteTicksCsv(const RunSummary& summary, const std::filesystem::path& file);
// A chart of the tick times over the run, with the tick budget and the save requests marked.
void WriteTicksSvg(const RunSummary& summary, const std::filesystem::path& file);

}  // namespace SimServer
