#include "plugin/SaveWorld.h"

#include <chrono>
#include <system_error>

#include "logging/PluginLog.h"
#include "platform/Threads.h"

static_assert(sizeof(std::atomic<bool>) == 1 && std::atomic<bool>::is_always_lock_free,
              "the save flag is one lock-free byte");

std::atomic<bool> SaveInProgress{false};
SaveWorldFunction ServerSaveWorld = nullptr;
bool AffinityEnabled = false;
std::uint64_t AffinityMask = 0;

namespace {

// A save that never returns must not hold up the server's exit for ever.
constexpr std::chrono::seconds kUnloadWaitLimit{60};

void CallServerSaveWorld(void* gameMode) {
  ServerSaveWorld(static_cast<ADravikMode*>(gameMode));
}

// Runs the server's routine; whatever it raises ends here as one error line.
void RunGuardedSave(ADravikMode* gameMode) {
  if (!platform::RunGuarded(&CallServerSaveWorld, gameMode)) {
    PluginLog::Get().GetLog()->error("Error failed to save!");
  }
}

}  // namespace

void SaveWorker(ADravikMode* gameMode) {
  platform::WorkerThreadStarted();
  RunGuardedSave(gameMode);
  SaveInProgress.store(false, std::memory_order_release);
  platform::WorkerThreadFinished();
}

void SaveWorldDetour(ADravikMode* gameMode) {
  // One test-and-set: two requests at the same instant never both get through.
  if (SaveInProgress.exchange(true, std::memory_order_acq_rel)) {
    PluginLog::Get().GetLog()->warn("World Already Saving!");
    return;
  }
  platform::HoldLibraryForWorker();
  // Local to this call: a worker can finish and clear the flag before this call has detached
  // it, and another server thread's request must not touch this thread object then.
  std::thread SaveThread;
  try {
    SaveThread = std::thread(&SaveWorker, gameMode);
  } catch (const std::system_error&) {
    // No thread to be had: save here rather than never again. The flag stays set until this
    // save is done, so no worker can run beside it.
    platform::ReleaseLibraryHold();
    PluginLog::Get().GetLog()->warn(
        "Could not start a save thread; the world is saved on the server thread instead.");
    RunGuardedSave(gameMode);
    SaveInProgress.store(false, std::memory_order_release);
    return;
  }
  if (AffinityEnabled) platform::SetThreadAffinityMask(SaveThread, AffinityMask);
  SaveThread.detach();
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
