#pragma once

#include <filesystem>

#include "sim/server/Report.h"

namespace SimServer {

struct ComparedRuns {
  RunSummary without;
  RunSummary with;
};

// Reads two server directories and puts each run where its own summary says it belongs,
// whatever the order given. Throws std::runtime_error when both runs are of one kind or a run
// cannot be read.
ComparedRuns ReadComparedRuns(const std::filesystem::path& first,
                              const std::filesystem::path& second);

// The step between labels of a time axis that ends at `endSeconds`: 1, 2 or 5 times a power
// of ten, so that there are at most about ten labels.
double TimeAxisStep(double endSeconds);

// One chart of two runs on the same world, one above the other on the same time axis and the
// same logarithmic tick-time scale, each save shaded from its request to its end, with the
// tick budget drawn.
void WriteComparisonSvg(const RunSummary& without, const RunSummary& with,
                        const std::filesystem::path& file);

// A page with the headline, both runs' tables side by side and the chart (`chartFile` as the
// page refers to it).
void WriteComparisonPage(const RunSummary& without, const RunSummary& with,
                         const std::string& chartFile, const std::filesystem::path& file);

}  // namespace SimServer
