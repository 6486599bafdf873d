#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/server/World.h"

namespace SimServer {

enum class SaveFailure { None, Throw, Crash };

// How the server's save routine behaves.
struct SaveSettings {
  std::filesystem::path file;
  SaveFailure failure = SaveFailure::None;
  // Extra time per chunk written, as a slow disk would take.
  std::chrono::milliseconds slowDiskPerChunk{0};
};

// One save the routine was entered for, in seconds since the game-mode's clock started, whole
// microseconds (so that they read back from a report as the same numbers).
struct SaveSpan {
  double requestedSeconds;  // when the server asked for the save that this one answers
  double startedSeconds;
  double endedSeconds;  // for one still running, when it was counted
  bool completed;
  bool running;
};

struct SaveCounts {
  int started = 0;
  int completed = 0;
  int failed = 0;               // every save that started and did not complete
  std::vector<SaveSpan> spans;  // in order; the last may be still running
};

}  // namespace SimServer

// The stand-in server's game mode. Its SaveWorld is the routine the host knows as
// "ADravikMode.SaveWorld".
class ADravikMode {
 public:
  using Clock = std::chrono::steady_clock;

  ADravikMode(std::size_t worldMegabytes, SimServer::SaveSettings settings);

  SimServer::World& GetWorld() { return world_; }

  // Writes the world to the save file, logging its start and its end. Every way out of it is
  // accounted for: a failure is counted and logged with its reason, and then raised again for
  // the caller (the plug-in's guard, or the server's own loop).
  void SaveWorld();

  // Times in spans are measured from here (the game loop's start).
  void StartClock(Clock::time_point start) { clockStart_ = start; }
  // The server is about to ask for a save; requests are numbered from 1, and a save records
  // the newest one made when it began. A request made while the routine runs is refused
  // by whoever guards it; the earliest request since the last save began is the one that
  // starts the next save, and its span is measured from it.
  void NoteSaveRequest();

  // True while a save that was entered has neither completed nor failed.
  bool SaveRunning() const { return running_.load(); }
  // The saves so far, one still running included.
  SimServer::SaveCounts Counts();

  // The function the server registers with the host: a plain function of the game mode.
  static void SaveWorldEntry(ADravikMode* self);

 private:
  static void BetweenChunks(void* self);
  void BeginSave();
  // Settles the save in progress, once: the first call wins.
  void EndSave(bool completed, const std::string& failure);
  void LeaveRoutine();
  double Seconds(Clock::time_point at) const;

  SimServer::World world_;
  SimServer::SaveSettings settings_;
  Clock::time_point clockStart_ = Clock::now();
  std::atomic<bool> running_{false};
  std::mutex countsMutex_;  // never held while the world is written
  SimServer::SaveCounts counts_;
  Clock::time_point saveStart_{};
  SimServer::SaveStamp stamp_;  // of the save in progress
  std::uint64_t requestsMade_ = 0;
  // True from a save's start until its routine is left (returned, raised or faulted).
  bool routineActive_ = false;
  std::optional<double> unansweredRequestSeconds_;
  double saveRequestedSeconds_ = 0;  // the request the running save answers
};
