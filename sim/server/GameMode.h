#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
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

struct SaveCounts {
  int started = 0;
  int completed = 0;
  int failed = 0;                        // by the failure injection
  std::vector<double> durationsSeconds;  // of the completed saves
};

}  // namespace SimServer

// The stand-in server's game mode. Its SaveWorld is the routine the host knows as
// "ADravikMode.SaveWorld".
class ADravikMode {
 public:
  ADravikMode(std::size_t worldMegabytes, SimServer::SaveSettings settings);

  SimServer::World& GetWorld() { return world_; }
  void SaveWorld();

  // True while a save that was entered has neither completed nor failed.
  bool SaveRunning() const { return running_.load(); }
  SimServer::SaveCounts Counts();

  // The function the server registers with the host: a plain function of the game mode.
  static void SaveWorldEntry(ADravikMode* self);

 private:
  static void BetweenChunks(void* self);

  SimServer::World world_;
  SimServer::SaveSettings settings_;
  std::atomic<bool> running_{false};
  std::mutex countsMutex_;
  SimServer::SaveCounts counts_;
};
