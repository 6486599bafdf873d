#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

// A log sink that keeps every formatted line and counts its flushes.
class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  struct Entry {
    std::string level;
    std::string message;
  };

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  // Level name and message of each line written with the plug-in's pattern.
  std::vector<Entry> Entries();

  int Flushes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return flushes_;
  }

  // "level|message" for each line, in order.
  std::vector<std::string> Logged();

  // How many lines carry exactly this level and message.
  int CountOf(const std::string& level, const std::string& message);

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    lines_.emplace_back(formatted.data(), formatted.size());
  }
  void flush_() override { ++flushes_; }

 private:
  std::vector<std::string> lines_;
  int flushes_ = 0;
};
