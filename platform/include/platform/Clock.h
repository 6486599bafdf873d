#pragma once

#include <chrono>
#include <string>

namespace tamsel::platform {

// "12/31/26 23:59" in the local time zone, as the log lines' own time stamps read. POSIX:
// localtime_r; Windows: _localtime64_s.
std::string LocalDateAndTime(std::chrono::system_clock::time_point moment);

}  // namespace tamsel::platform
