#pragma once

#include <string>
#include <vector>

#include "sim/server/Report.h"

namespace SimServer {

// One run's panel of a chart, under its title.
struct ChartPanel {
  const RunSummary* run;
  std::string title;
};

// An SVG chart of tick times: one panel per run, stacked on one time axis and one logarithmic
// scale, each save shaded from its request to its end (to the chart's end for one still
// running), the tick budget drawn. It scales to its container (viewBox), so a page can hold it.
std::string ChartSvg(const std::string& heading, std::vector<std::string> captionLines,
                     const std::vector<ChartPanel>& panels);

// The step between labels of a time axis that ends at `endSeconds`: 1, 2 or 5 times a power
// of ten, so that there are at most about ten labels.
double TimeAxisStep(double endSeconds);

// "0.15 ms", "12 ms", "1.5 s": as many digits as the size calls for.
std::string Milliseconds(double ms);

// What a chart says the run was made on: the stand-in server and its simulated world.
std::string StandInCaption(const RunSummary& run);

}  // namespace SimServer
