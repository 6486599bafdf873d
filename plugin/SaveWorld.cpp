#include "plugin/SaveWorld.h"

#include <chrono>

#include "logging/LogText.h"
#include "logging/PluginLog.h"
#include "platform/FaultGuard.h"
#include "platform/Threads.h"

static_assert(sizeof(std::atomic<bool>) == 1 && std::atomic<bool>::is_always_lock_free,
              "the save flag is one lock-free byte");

std::atomic<bool> SaveInProgress{false};
SaveWorldFunction ServerSaveWorld = nullptr;
bool AffinityEnabled = false;
std::uint64_t AffinityMask = 0;
bool LogSaveTimes = false;
bool LogSaveFaults = false;

namespace {

// A save that never returns must not hold up the server's exit for ever.
constexpr std::chrono::seconds kUnloadWaitLimit{60};

void CallServerSaveWorld(void* gameMode) {
  ServerSaveWorld(static_cast<ADravikMode*>(gameMode));
}

void ReportFault(const platform::GuardOutcome& outcome) {
  try {
    PluginLog::Get().GetLog()->error("Save fault: {}", Excerpt(platform::DescribeFault(outcome)));
  } catch (const std::exception&) {
    // No memory to describe it: the error line above has said what matters.
  }
}

// Runs the server's routine; whatever it raises ends here as one error line.
void RunGuardedSave(ADravikMode* gameMode) {
  const auto start =
      LogSaveTimes ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  const platform::GuardOutcome outcome = platform::RunGuarded(&CallServerSaveWorld, gameMode);
  const auto& log = PluginLog::Get().GetLog();
  if (outcome.Completed()) {
    if (LogSaveTimes) {
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      log->info("World saved in {:.3f} s.", took.count());
    }
    return;
  }
  log->error("Error failed to save!");
  if (LogSaveFaults) ReportFault(outcome);
}

void SaveWorkerEntry(void* gameMode) {
  SaveWorker(static_cast<ADravikMode*>(gameMode));
}

}  // namespace

void SaveWorker(ADravikMode* gameMode) {
  RunGuardedSave(gameMode);
  SaveInProgress.store(false, std::memory_order_release);
}

void SaveWorldDetour(ADravikMode* gameMode) {
  // One test-and-set: two requests at the same instant never both get through.
  if (SaveInProgress.exchange(true, std::memory_order_acq_rel)) {
    PluginLog::Get().GetLog()->warn("World Already Saving!");
    return;
  }
  // Local to this call: a worker can finish and clear the flag before this call has detached
  // it, and another server thread's request must not touch this thread object then.
  platform::WorkerThread SaveThread;
  if (!SaveThread.Start(&SaveWorkerEntry, gameMode)) {
    // No thread to be had: save here rather than never again. The flag stays set until this
    // save is done, so no worker can run beside it.
    PluginLog::Get().GetLog()->warn(
        "Could not start a save thread; the world is saved on the server thread instead.");
    RunGuardedSave(gameMode);
    SaveInProgress.store(false, std::memory_order_release);
    return;
  }
  if (AffinityEnabled) SaveThread.SetAffinityMask(AffinityMask);
  SaveThread.Detach();
}

void WaitForSaveWorker() {
  if (!platform::AnyWorkerInLibrary()) return;
  PluginLog::Get().GetLog()->info("Waiting for the running world save to finish before unloading.");
  if (!platform::WaitForWorkersToLeave(kUnloadWaitLimit)) {
    PluginLog::Get().GetLog()->error(
        "The world save did not finish within {} seconds; unloading anyway.",
        static_cast<long long>(kUnloadWaitLimit.count()));
  }
}
