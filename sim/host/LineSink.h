#pragma once

#include <mutex>
#include <string>

#include <spdlog/sinks/base_sink.h>

#include "host/SpdlogLine.h"

// Base of a log sink over either spdlog line: a derived sink sees each message as the finished
// line and as its bare text, under the sink's own lock. The stand-in host's file sink and the
// tests' sinks derive from it.
class LineSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // The lock every write and flush of this sink takes.
  std::mutex& Lock() {
#if TAMSEL_SPDLOG_SINKS_FORMAT
    return mutex_;
#else
    return _mutex;
#endif
  }

 protected:
  virtual void Write(std::string line, std::string text) = 0;
  virtual void Flushed() {}

#if TAMSEL_SPDLOG_SINKS_FORMAT
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    Write(std::string(formatted.data(), formatted.size()),
          std::string(msg.payload.data(), msg.payload.size()));
  }
  void flush_() override {
    Flushed();
  }
#else
  void _sink_it(const spdlog::details::log_msg& msg) override {
    Write(msg.formatted.str(), msg.raw.str());
  }
  void _flush() override {
    Flushed();
  }
#endif
};
