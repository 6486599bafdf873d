#pragma once

#include <filesystem>
#include <string>

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

// "Longest game-loop stall: 900 ms without the plug-in, 0.12 ms with it (7500 times
// shorter)." A run slower with the plug-in is called so.
std::string StallSentence(const RunSummary& without, const RunSummary& with);

// One chart of two runs on the same world, one above the other on the same scales.
void WriteComparisonSvg(const RunSummary& without, const RunSummary& with,
                        const std::filesystem::path& file);

// A page that needs nothing beside it: the headline, both runs' tables as the server printed
// them, and the chart.
void WriteComparisonPage(const RunSummary& without, const RunSummary& with,
                         const std::filesystem::path& file);

}  // namespace SimServer
