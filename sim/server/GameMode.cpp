#include "sim/server/GameMode.h"

#include <exception>
#include <stdexcept>
#include <thread>

#include "sim/server/Faults.h"
#include "sim/server/ServerLog.h"

ADravikMode::ADravikMode(std::size_t worldMegabytes, SimServer::SaveSettings settings)
    : world_(worldMegabytes), settings_(std::move(settings)) {}

void ADravikMode::SaveWorldEntry(ADravikMode* self) {
  self->SaveWorld();
}

void ADravikMode::SaveWorld() {
  BeginSave();
  try {
    world_.Save(settings_.file, &ADravikMode::BetweenChunks, this, stamp_);
  } catch (const std::exception& failure) {
    EndSave(false, failure.what());
    LeaveRoutine();
    throw;
  }
  EndSave(true, "");
  LeaveRoutine();
}

void ADravikMode::NoteSaveRequest() {
  std::lock_guard<std::mutex> lock(countsMutex_);
  ++requestsMade_;
  if (routineActive_ || unansweredRequestSeconds_) return;
  unansweredRequestSeconds_ = Seconds(Clock::now());
}

void ADravikMode::LeaveRoutine() {
  std::lock_guard<std::mutex> lock(countsMutex_);
  routineActive_ = false;
}

void ADravikMode::BeginSave() {
  // A save that a fault ended on its way never settled itself: it failed.
  if (running_.load()) EndSave(false, "the save was abandoned before it finished");
  {
    std::lock_guard<std::mutex> lock(countsMutex_);
    stamp_.saveNumber = static_cast<std::uint64_t>(++counts_.started);
    stamp_.requestNumber = requestsMade_;
    saveStart_ = Clock::now();
    routineActive_ = true;
    // Called directly (a test, a console command) the save answers no request: it starts now.
    saveRequestedSeconds_ = unansweredRequestSeconds_.value_or(Seconds(saveStart_));
    unansweredRequestSeconds_.reset();
    running_ = true;
  }
  SimServer::ServerLog()->info("World save started");
}

void ADravikMode::EndSave(bool completed, const std::string& failure) {
  const auto end = Clock::now();
  std::chrono::duration<double> took{};
  {
    // Under the lock, so that Counts() sees the save either running or ended.
    std::lock_guard<std::mutex> lock(countsMutex_);
    if (!running_.exchange(false)) return;
    took = end - saveStart_;
    (completed ? counts_.completed : counts_.failed) += 1;
    counts_.spans.push_back(
        {saveRequestedSeconds_, Seconds(saveStart_), Seconds(end), completed, false});
  }
  if (!completed) {
    SimServer::ServerLog()->error("World save failed: {}", failure);
    return;
  }
  std::error_code unknown;
  const auto bytes = std::filesystem::file_size(settings_.file, unknown);
  SimServer::ServerLog()->info("World saved in {:.3f} s, {:.1f} MiB", took.count(),
                               unknown ? 0.0 : static_cast<double>(bytes) / (1 << 20));
}

double ADravikMode::Seconds(Clock::time_point at) const {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(at - clockStart_);
  return static_cast<double>(micros.count()) / 1e6;
}

// Deliberate failures, for showing what happens when a save crashes.
void ADravikMode::BetweenChunks(void* context) {
  auto* self = static_cast<ADravikMode*>(context);
  if (self->settings_.slowDiskPerChunk.count() > 0) {
    std::this_thread::sleep_for(self->settings_.slowDiskPerChunk);
  }
  switch (self->settings_.failure) {
    case SimServer::SaveFailure::None:
      return;
    case SimServer::SaveFailure::Throw:
      throw std::runtime_error("simulated save failure");
    case SimServer::SaveFailure::Crash:
      // A crash skips everything after it: the save is settled first, its file is closed by
      // the next save or at exit.
      self->EndSave(false, "simulated crash (an access violation) in the middle of the save");
      self->LeaveRoutine();
      SimServer::RaiseNullWrite();
  }
}

SimServer::SaveCounts ADravikMode::Counts() {
  std::lock_guard<std::mutex> lock(countsMutex_);
  SimServer::SaveCounts counts = counts_;
  if (running_.load()) {
    counts.spans.push_back(
        {saveRequestedSeconds_, Seconds(saveStart_), Seconds(Clock::now()), false, true});
  }
  return counts;
}
