#pragma once

#include <filesystem>

#include "sim/server/Report.h"

namespace SimServer {

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
