#include "sim/server/Comparison.h"

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim/server/Chart.h"

namespace SimServer {
namespace {

// Two significant digits at most: a ratio of noisy times has no more.
std::string Ratio(double ratio) {
  if (ratio < 10) return Fixed(ratio, 1);
  const double unit = ratio < 100 ? 1 : std::pow(10.0, std::floor(std::log10(ratio)) - 1);
  return Fixed(std::round(ratio / unit) * unit, 0);
}

std::string MeanSaveTime(const RunSummary& run) {
  const std::vector<double> durations = CompletedSaveSeconds(run);
  if (durations.empty()) return "no save completed";
  double total = 0;
  for (double seconds : durations)
    total += seconds;
  return Fixed(total / static_cast<double>(durations.size()), 2) + " s";
}

std::string ComparisonSvg(const RunSummary& without, const RunSummary& with) {
  return ChartSvg("Game-loop tick times while a " + std::to_string(without.worldMegabytes) +
                      " MiB world is saved",
                  {StandInCaption(without), "Saves took " + MeanSaveTime(without) +
                                                " without the plug-in and " + MeanSaveTime(with) +
                                                " with it (mean)."},
                  {{&without, "Without the plug-in: the game waits for each save"},
                   {&with, "With Tamsel: the save runs beside the game"}});
}

}  // namespace

ComparedRuns ReadComparedRuns(const std::filesystem::path& first,
                              const std::filesystem::path& second) {
  RunSummary a = ReadRun(first);
  RunSummary b = ReadRun(second);
  if (a.pluginsLoaded == b.pluginsLoaded) {
    throw std::runtime_error("both runs, " + first.u8string() + " and " + second.u8string() +
                             ", were made " +
                             (a.pluginsLoaded ? "with the plug-in" : "without the plug-in") +
                             ": compare a run without it with a run with it");
  }
  if (a.worldMegabytes != b.worldMegabytes) {
    throw std::runtime_error("the runs saved worlds of different sizes (" +
                             std::to_string(a.worldMegabytes) + " MiB in " + first.u8string() +
                             ", " + std::to_string(b.worldMegabytes) + " MiB in " +
                             second.u8string() + "): compare runs on the same world");
  }
  if (a.pluginsLoaded) std::swap(a, b);
  return {std::move(a), std::move(b)};
}

std::string StallSentence(const RunSummary& without, const RunSummary& with) {
  const double longestWithout = LongestTickMs(without);
  const double longestWith = LongestTickMs(with);
  std::string ratio = "no measurable stall with it";
  if (longestWith > 0 && longestWith <= longestWithout) {
    ratio = Ratio(longestWithout / longestWith) + " times shorter";
  } else if (longestWith > 0) {
    ratio = Ratio(longestWith / longestWithout) + " times longer: slower with the plug-in";
  }
  return "Longest game-loop stall: " + Milliseconds(longestWithout) + " without the plug-in, " +
         Milliseconds(longestWith) + " with it (" + ratio + ").";
}

void WriteComparisonSvg(const RunSummary& without, const RunSummary& with,
                        const std::filesystem::path& file) {
  WriteReport(file, ComparisonSvg(without, with));
}

void WriteComparisonPage(const RunSummary& without, const RunSummary& with,
                         const std::filesystem::path& file) {
  std::ostringstream out;
  out << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>Tamsel: the game loop during world saves</title>\n<style>"
         "body{font-family:sans-serif;margin:1em auto;max-width:60em;padding:0 1em}"
         ".runs{display:flex;flex-wrap:wrap;gap:0 2em}"
         "pre{background:#f6f6f6;padding:0.8em;overflow-x:auto}"
         "svg{max-width:100%;height:auto}</style></head><body>\n"
         "<h1>The game loop during world saves, "
      << without.worldMegabytes << " MiB world</h1>\n<p><b>" << StallSentence(without, with)
      << "</b></p>\n<p>" << StandInCaption(without)
      << "</p>\n<div class=\"runs\"><div><h2>Without the plug-in</h2><pre>" << FormatTable(without)
      << "</pre></div><div><h2>With Tamsel</h2><pre>" << FormatTable(with) << "</pre></div></div>\n"
      << ComparisonSvg(without, with) << "</body></html>\n";
  WriteReport(file, out.str());
}

}  // namespace SimServer
