#include "logging/PluginLog.h"

#include <atomic>
#include <chrono>

#include "host/SpdlogLine.h"
#include "host/VelkorApi.h"
#include "platform/Threads.h"
#include "platform/Wait.h"

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

// Plain atomics, not members: a save thread still reads them after the holder has gone.
std::atomic<int> LinesBeingWritten{0};
std::atomic<bool> Closed{false};

}  // namespace

void PluginLog::AfterSinkFailure() {
  platform::RethrowThreadCancellation();
}

PluginLog::LogCall::LogCall() {
  LinesBeingWritten.fetch_add(1);
  admitted_ = !Closed.load();
}

PluginLog::LogCall::~LogCall() {
  LinesBeingWritten.fetch_sub(1);
}

void PluginLog::Close() {
  Closed.store(true);
  platform::WaitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(1),
                      [] { return LinesBeingWritten.load() == 0; });
}

PluginLog& PluginLog::Get() {
  static PluginLog holder;
  return holder;
}

void PluginLog::Init(const std::string& name) {
  Closed.store(false);
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
