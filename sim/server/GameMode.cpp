#include "sim/server/GameMode.h"

#include <stdexcept>
#include <thread>

ADravikMode::ADravikMode(std::size_t worldMegabytes, SimServer::SaveSettings settings)
    : world_(worldMegabytes), settings_(std::move(settings)) {}

void ADravikMode::SaveWorldEntry(ADravikMode* self) {
  self->SaveWorld();
}

void ADravikMode::SaveWorld() {
  {
    std::lock_guard<std::mutex> lock(countsMutex_);
    ++counts_.started;
  }
  running_ = true;
  const auto start = std::chrono::steady_clock::now();
  world_.Save(settings_.file, &ADravikMode::BetweenChunks, this);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  {
    std::lock_guard<std::mutex> lock(countsMutex_);
    ++counts_.completed;
    counts_.durationsSeconds.push_back(took.count());
  }
  running_ = false;
}

// Deliberate failures, for showing what happens when a save crashes. The sanitizers must let
// the crash reach the processor.
__attribute__((no_sanitize("undefined"))) void ADravikMode::BetweenChunks(void* context) {
  auto* self = static_cast<ADravikMode*>(context);
  if (self->settings_.slowDiskPerChunk.count() > 0) {
    std::this_thread::sleep_for(self->settings_.slowDiskPerChunk);
  }
  if (self->settings_.failure == SimServer::SaveFailure::None) return;
  {
    std::lock_guard<std::mutex> lock(self->countsMutex_);
    ++self->counts_.failed;
  }
  self->running_ = false;
  if (self->settings_.failure == SimServer::SaveFailure::Throw) {
    throw std::runtime_error("simulated save failure");
  }
  int* volatile nowhere = nullptr;
  *nowhere = 1;      // an access violation in the middle of the save
  __builtin_trap();  // where page zero is mapped (under some sanitizers), still crash
}

SimServer::SaveCounts ADravikMode::Counts() {
  std::lock_guard<std::mutex> lock(countsMutex_);
  return counts_;
}
