#include "logging/PluginLog.h"

#include "host/SpdlogLine.h"
#include "host/VelkorApi.h"

#if TAMSEL_SPDLOG_SINKS_FORMAT
#include <spdlog/pattern_formatter.h>
#else
#include <spdlog/formatter.h>
#endif

namespace tamsel {

namespace {

constexpr const char* kLinePattern = "%D %R [%n][%l] %v";
// Administrators read these logs on Windows; lines end the same way on every platform.
constexpr const char* kLineEnd = "\r\n";

}  // namespace

PluginLog& PluginLog::Get() {
  static PluginLog holder;
  return holder;
}

void PluginLog::Init(const std::string& name) {
  auto& sinks = GetLogSinks();
  logger_ = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
#if TAMSEL_SPDLOG_SINKS_FORMAT
  // 1.x: the logger hands a copy of its formatter to every sink it writes to.
  logger_->set_formatter(std::make_unique<spdlog::pattern_formatter>(
      kLinePattern, spdlog::pattern_time_type::local, kLineEnd));
#else
  // 0.x: the logger keeps its formatter and hands the sinks finished lines.
  logger_->set_formatter(std::make_shared<spdlog::pattern_formatter>(
      kLinePattern, spdlog::pattern_time_type::local, kLineEnd));
#endif
  logger_->flush_on(spdlog::level::info);
}

void PluginLog::HandBackSinks() {
#if TAMSEL_SPDLOG_SINKS_FORMAT
  if (!logger_) return;
  // A virtual call: the sink's own code, not this library's, makes the new formatter.
  for (const auto& sink : logger_->sinks())
    sink->set_pattern(kLinePattern);
#endif
}

}  // namespace tamsel
