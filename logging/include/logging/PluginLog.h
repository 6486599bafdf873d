#pragma once

#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace tamsel {

// The plug-in's one named logger, writing to the host's sinks.
class PluginLog {
 public:
  // The process's single holder, created on first use.
  static PluginLog& Get();

  // Empty until Init has run.
  std::shared_ptr<spdlog::logger>& GetLog() { return logger_; }

  // Writes through the logger: `write(logger)`, e.g. [](spdlog::logger& log) { log.warn("..."); }.
  // Nothing a sink throws leaves here (a thread's cancellation unwinds on): a failing sink must
  // not end a save thread or the server's. Once Close has run, nothing is written.
  template <typename Write>
  static void Log(const Write& write) {
    const LogCall call;
    if (!call.Admitted()) return;
    try {
      write(*Get().logger_);
    } catch (...) {
      AfterSinkFailure();
    }
  }

  // From now on no line is written, and the holder may go: for a process whose exit gave up on
  // a save that still runs, and will log as it ends, while the exit destroys the library's
  // static objects. Returns once no line is being written (at most a second).
  static void Close();

  // Makes the logger `name` over the host's sinks as they stand now, with the plug-in's line
  // pattern, and flushing every sink after each message of level info or above.
  void Init(const std::string& name);

  // With spdlog 1.x, whose sinks keep a copy of the formatter of the logger that writes to them,
  // gives each of the logger's sinks a formatter of the sink's own making, with the same
  // pattern: the sinks belong to the host and outlive this library, and none of them may keep an
  // object whose code goes away with it. With the host's 0.x line the sinks hold nothing of the
  // plug-in's, and nothing is done. Called as the library is unloaded; takes each sink's lock.
  void HandBackSinks();

 private:
  // Inside Log's handler: lets a thread's cancellation unwind on, and swallows the rest.
  static void AfterSinkFailure();

  // A line being written: Close waits for it.
  class LogCall {
   public:
    LogCall();
    ~LogCall();
    LogCall(const LogCall&) = delete;
    LogCall& operator=(const LogCall&) = delete;
    bool Admitted() const { return admitted_; }

   private:
    bool admitted_;
  };

  PluginLog() = default;
  std::shared_ptr<spdlog::logger> logger_;
};

}  // namespace tamsel
