#include "sim/server/Chart.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace SimServer {
namespace {

constexpr double kWidth = 800, kLeft = 70, kRight = 20, kLineHeight = 18, kPanelHeight = 200,
                 kPanelGap = 56, kBottom = 44;

double EndSeconds(const RunSummary& run) {
  double end = 1e-3;
  for (const auto& tick : run.ticks)
    end = std::max(end, tick.startSeconds + tick.durationMs / 1000);
  for (const auto& save : run.saves)
    end = std::max(end, save.endedSeconds);
  return end;
}

// The panels share these scales.
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

// Whole decades from the shortest tick (at most 0.1 µs down) to twice the budget or the
// longest tick, whichever is higher: the short ticks of a run with the plug-in stay visible.
Axes AxesFor(const std::vector<ChartPanel>& panels) {
  Axes axes{};
  axes.endSeconds = 1e-3;
  double shortest = 1e9;
  double longest = 0;
  for (const ChartPanel& panel : panels) {
    const RunSummary& run = *panel.run;
    axes.endSeconds = std::max(axes.endSeconds, EndSeconds(run));
    shortest = std::min(shortest, std::max(run.tickBudgetMs, 1e-3));
    longest = std::max({longest, LongestTickMs(run), run.tickBudgetMs * 2});
    for (const auto& tick : run.ticks) {
      if (tick.durationMs > 0) shortest = std::min(shortest, tick.durationMs);
    }
  }
  axes.lowMs = std::max(std::pow(10.0, std::floor(std::log10(shortest))), 1e-4);
  axes.highMs = std::max(std::pow(10.0, std::ceil(std::log10(longest))), axes.lowMs * 10);
  return axes;
}

void WritePanel(std::ostream& out, const ChartPanel& panel, const Axes& axes, double top) {
  const RunSummary& run = *panel.run;
  const double bottom = top + kPanelHeight;
  const double right = kWidth - kRight;
  out << "<text x=\"" << kLeft << "\" y=\"" << top - 8 << "\" font-size=\"15\">" << panel.title
      << " (longest tick " << Milliseconds(LongestTickMs(run)) << ")</text>\n";
  // Each save, shaded from its request to its end; one still running, to the chart's end.
  for (const auto& save : run.saves) {
    const double x = axes.X(save.requestedSeconds);
    const double end = save.running ? axes.endSeconds : save.endedSeconds;
    out << "<rect class=\"" << (save.running ? "running" : (save.completed ? "saved" : "failed"))
        << "\" x=\"" << Fixed(x, 1) << "\" y=\"" << top << "\" width=\""
        << Fixed(std::max(1.0, axes.X(end) - x), 1) << "\" height=\"" << kPanelHeight
        << "\" fill=\"" << (save.completed || save.running ? "#fde9c8" : "#f9c9c9") << "\"/>\n";
  }
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

std::string Milliseconds(double ms) {
  return ms >= 1000 ? Fixed(ms / 1000, ms >= 10000 ? 0 : 1) + " s"
                    : Fixed(ms, ms >= 10 ? 0 : (ms >= 1 ? 1 : (ms >= 0.1 ? 2 : 3))) + " ms";
}

std::string StandInCaption(const RunSummary& run) {
  return "Measured on dravik-server, the project's stand-in for a game server, saving a "
         "simulated " +
         std::to_string(run.worldMegabytes) + " MiB world.";
}

double TimeAxisStep(double endSeconds) {
  const double rough = std::max(endSeconds, 1e-3) / 10;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  for (double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= rough) return factor * power;
  }
  return 10 * power;
}

std::string ChartSvg(const std::string& heading, std::vector<std::string> captionLines,
                     const std::vector<ChartPanel>& panels) {
  captionLines.push_back(
      "Shaded: a save, from its request to its end (red: it failed). "
      "Scale: logarithmic.");
  const Axes axes = AxesFor(panels);
  const double panelsTop = 40 + kLineHeight * static_cast<double>(captionLines.size()) + 30;
  const double panelsHeight =
      static_cast<double>(panels.size()) * (kPanelHeight + kPanelGap) - kPanelGap;
  const double height = panelsTop + panelsHeight + kBottom;
  std::ostringstream out;
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << kWidth << " " << height
      << "\" width=\"" << kWidth << "\" height=\"" << height
      << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << kLeft << "\" y=\"26\" font-size=\"18\">" << heading << "</text>\n";
  double top = 26;
  for (const std::string& line : captionLines) {
    top += kLineHeight;
    out << "<text x=\"" << kLeft << "\" y=\"" << top << "\">" << line << "</text>\n";
  }
  top = panelsTop;
  for (const ChartPanel& panel : panels) {
    WritePanel(out, panel, axes, top);
    top += kPanelHeight + kPanelGap;
  }
  const double axisY = top - kPanelGap;
  const double step = TimeAxisStep(axes.endSeconds);
  for (int label = 0; label * step <= axes.endSeconds * (1 + 1e-9); ++label) {
    out << "<text x=\"" << Fixed(axes.X(label * step), 1) << "\" y=\"" << axisY + 18
        << "\" text-anchor=\"middle\">" << SecondsLabel(label * step, step) << "</text>\n";
  }
  out << "</svg>\n";
  return out.str();
}

}  // namespace SimServer
