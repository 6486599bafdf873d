#include "sim/server/Comparison.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace SimServer {
namespace {

// How the longest stall with the plug-in compares with the one without it, either way round.
std::string StallRatio(double without, double with) {
  if (with <= 0) return "no measurable stall with it";
  if (with <= without) return Fixed(without / with, 1) + " times shorter";
  return Fixed(with / without, 1) + " times longer: slower with the plug-in";
}

constexpr double kWidth = 1000, kLeft = 80, kRight = 30, kTop = 70, kPanelHeight = 230,
                 kPanelGap = 60, kBottom = 50;

std::string Milliseconds(double ms) {
  return ms >= 1000 ? Fixed(ms / 1000, ms >= 10000 ? 0 : 1) + " s"
                    : Fixed(ms, ms >= 10 ? 0 : (ms >= 1 ? 1 : (ms >= 0.1 ? 2 : 3))) + " ms";
}

double EndSeconds(const RunSummary& run) {
  double end = 1e-3;
  for (const auto& tick : run.ticks)
    end = std::max(end, tick.startSeconds + tick.durationMs / 1000);
  for (const auto& save : run.saves)
    end = std::max(end, save.endedSeconds);
  return end;
}

std::string SaveTimes(const RunSummary& run) {
  if (run.saveDurationsSeconds.empty()) return "no save completed";
  double total = 0;
  for (double seconds : run.saveDurationsSeconds)
    total += seconds;
  return Fixed(total / static_cast<double>(run.saveDurationsSeconds.size()), 2) + " s";
}

// Both panels share these scales.
struct Axes {
  double endSeconds;
  double lowMs;   // bottom of the logarithmic scale
  double highMs;  // top
  double X(double seconds) const {
    return kLeft + seconds / endSeconds * (kWidth - kLeft - kRight);
  }
  double Y(double ms, double panelTop) const {
    const double clamped = std::clamp(ms, lowMs, highMs);
    const double share = std::log10(clamped / lowMs) / std::log10(highMs / lowMs);
    return panelTop + kPanelHeight - share * kPanelHeight;
  }
};

void WritePanel(std::ostream& out, const RunSummary& run, const std::string& title,
                const Axes& axes, double top) {
  const double bottom = top + kPanelHeight;
  const double right = kWidth - kRight;
  out << "<text x=\"" << kLeft << "\" y=\"" << top - 8 << "\" font-size=\"14\">" << title
      << " (longest tick " << Milliseconds(LongestTickMs(run)) << ")</text>\n";
  // Each save, shaded from its request to its end.
  for (const auto& save : run.saves) {
    const double x = axes.X(save.requestedSeconds);
    out << "<rect x=\"" << Fixed(x, 1) << "\" y=\"" << top << "\" width=\""
        << Fixed(std::max(1.0, axes.X(save.endedSeconds) - x), 1) << "\" height=\"" << kPanelHeight
        << "\" fill=\"" << (save.completed ? "#fde9c8" : "#f9c9c9") << "\"/>\n";
  }
  // Decades of the logarithmic scale.
  for (double ms = axes.lowMs; ms <= axes.highMs * 1.001; ms *= 10) {
    const double y = axes.Y(ms, top);
    out << "<line x1=\"" << kLeft << "\" y1=\"" << Fixed(y, 1) << "\" x2=\"" << right << "\" y2=\""
        << Fixed(y, 1) << "\" stroke=\"#ddd\"/>\n"
        << "<text x=\"" << kLeft - 6 << "\" y=\"" << Fixed(y + 4, 1) << "\" text-anchor=\"end\">"
        << Milliseconds(ms) << "</text>\n";
  }
  // One bar per tick, as tall as the tick took and as wide.
  out << "<path fill=\"steelblue\" stroke=\"steelblue\" stroke-width=\"0.6\" d=\"";
  for (const auto& tick : run.ticks) {
    const double end = tick.startSeconds + tick.durationMs / 1000;
    out << "M" << Fixed(axes.X(tick.startSeconds), 1) << " " << bottom << "V"
        << Fixed(axes.Y(tick.durationMs, top), 1) << "H" << Fixed(axes.X(end), 1) << "V" << bottom
        << "Z ";
  }
  out << "\"/>\n";
  const double budget = axes.Y(run.tickBudgetMs, top);
  out << "<line x1=\"" << kLeft << "\" y1=\"" << Fixed(budget, 1) << "\" x2=\"" << right
      << "\" y2=\"" << Fixed(budget, 1) << "\" stroke=\"green\" stroke-dasharray=\"5 3\"/>\n"
      << "<text x=\"" << right - 4 << "\" y=\"" << Fixed(budget - 5, 1)
      << "\" text-anchor=\"end\" fill=\"green\">tick budget " << Milliseconds(run.tickBudgetMs)
      << "</text>\n"
      << "<rect x=\"" << kLeft << "\" y=\"" << top << "\" width=\"" << right - kLeft
      << "\" height=\"" << kPanelHeight << "\" fill=\"none\" stroke=\"black\"/>\n";
}

std::string SecondsLabel(double seconds, double step) {
  const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  return Fixed(seconds, decimals) + " s";
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

double TimeAxisStep(double endSeconds) {
  const double rough = std::max(endSeconds, 1e-3) / 10;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  for (double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= rough) return factor * power;
  }
  return 10 * power;
}

void WriteComparisonSvg(const RunSummary& without, const RunSummary& with,
                        const std::filesystem::path& file) {
  Axes axes{};
  axes.endSeconds = std::max(EndSeconds(without), EndSeconds(with));
  double shortest = std::max(without.tickBudgetMs, 1e-3);
  for (const RunSummary* run : {&without, &with}) {
    for (const auto& tick : run->ticks) {
      if (tick.durationMs > 0) shortest = std::min(shortest, tick.durationMs);
    }
  }
  const double longest =
      std::max({LongestTickMs(without), LongestTickMs(with), without.tickBudgetMs * 2});
  // Shorter ticks are drawn at the bottom of the scale: a few decades suffice.
  axes.lowMs = std::max(std::pow(10.0, std::floor(std::log10(shortest))), 1e-4);
  axes.highMs = std::pow(10.0, std::ceil(std::log10(longest)));

  const double height = kTop + 2 * kPanelHeight + kPanelGap + kBottom;
  std::ostringstream out;
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << kLeft << "\" y=\"26\" font-size=\"17\">Game-loop tick times while a "
      << without.worldMegabytes << " MiB world is saved</text>\n"
      << "<text x=\"" << kLeft << "\" y=\"46\">Saves took " << SaveTimes(without)
      << " without the plug-in and " << SaveTimes(with)
      << " with it (mean, request to end). Shaded: a save under way. Scale: logarithmic.</text>\n";
  WritePanel(out, without, "Without the plug-in: the game waits for each save", axes, kTop + 10);
  WritePanel(out, with, "With Tamsel: the save runs beside the game", axes,
             kTop + 10 + kPanelHeight + kPanelGap);
  const double axisY = kTop + 10 + 2 * kPanelHeight + kPanelGap;
  const double step = TimeAxisStep(axes.endSeconds);
  for (int label = 0; label * step <= axes.endSeconds * (1 + 1e-9); ++label) {
    out << "<text x=\"" << Fixed(axes.X(label * step), 1) << "\" y=\"" << axisY + 18
        << "\" text-anchor=\"middle\">" << SecondsLabel(label * step, step) << "</text>\n";
  }
  out << "</svg>\n";
  WriteReport(file, out.str());
}

void WriteComparisonPage(const RunSummary& without, const RunSummary& with,
                         const std::string& chartFile, const std::filesystem::path& file) {
  const double longestWithout = LongestTickMs(without);
  const double longestWith = LongestTickMs(with);
  std::ostringstream out;
  out << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tamsel: the game loop "
         "during world saves</title>\n<style>body{font-family:sans-serif;margin:2em}"
         "pre{background:#f6f6f6;padding:1em}td{vertical-align:top;padding-right:2em}</style>"
         "</head><body>\n<h1>The game loop during world saves, "
      << without.worldMegabytes << " MiB world</h1>\n<p>Longest game-loop stall: <b>"
      << Milliseconds(longestWithout) << "</b> without the plug-in, <b>"
      << Milliseconds(longestWith) << "</b> with it";
  out << " (" << StallRatio(longestWithout, longestWith) << ")";
  out << ".</p>\n<table><tr><th align=\"left\">Without the plug-in</th>"
         "<th align=\"left\">With Tamsel</th></tr>\n<tr><td><pre>"
      << FormatTable(without) << "</pre></td><td><pre>" << FormatTable(with)
      << "</pre></td></tr></table>\n<p><img src=\"" << chartFile
      << "\" alt=\"tick times of both runs\"></p>\n</body></html>\n";
  WriteReport(file, out.str());
}

}  // namespace SimServer
