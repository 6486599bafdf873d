#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "sim/host/LineSink.h"

// A log sink that keeps every formatted line and counts its flushes.
class CaptureSink : public LineSink {
 public:
  struct Entry {
    std::string level;
    std::string message;
  };

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(Lock());
    return lines_;
  }

  // Level name and message of each line written with the plug-in's pattern.
  std::vector<Entry> Entries();

  int Flushes() {
    std::lock_guard<std::mutex> lock(Lock());
    return flushes_;
  }

  // "level|message" for each line, in order.
  std::vector<std::string> Logged();

  // How many lines carry exactly this level and message.
  int CountOf(const std::string& level, const std::string& message);
  // Whether any line's message contains `text`.
  bool Contains(const std::string& text);

 protected:
  void Write(std::string line, std::string /*text*/) override { lines_.push_back(std::move(line)); }
  void Flushed() override { ++flushes_; }

 private:
  std::vector<std::string> lines_;
  int flushes_ = 0;
};

// The plug-in's line at the end of its load, as Logged() gives it: active, inactive after a
// configuration that could not be used, or inactive because the host refused the detour.
inline const std::string kActiveLine = std::string("info|Tamsel ") + TAMSEL_VERSION +
                                       " is active: world saves run off the game thread.";
inline const std::string kInactiveLine = std::string("info|Tamsel ") + TAMSEL_VERSION +
                                         " is inactive: world saves stay on the game thread.";
inline const std::string kRefusedLine =
    std::string("warning|Tamsel ") + TAMSEL_VERSION +
    " is inactive: the host did not hand it ADravikMode.SaveWorld (another plug-in may hold it); "
    "world saves stay on the game thread.";
