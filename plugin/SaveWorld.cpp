#include "plugin/SaveWorld.h"

#include "SaveWorldInternal.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <string>

#include "logging/LogText.h"
#include "logging/PluginLog.h"
#include "platform/Clock.h"
#include "platform/FaultGuard.h"
#include "platform/Threads.h"

namespace tamsel {

namespace {

// Calls of the detour under way, counted from its first statement: the unload waits for them
// to leave before the library's code goes.
std::atomic<int> DetourCallsInFlight{0};
thread_local int DetourCallsOnThisThread = 0;
// Set while this thread runs a save (a worker, or the server's thread when no worker could be
// started).
thread_local bool RunningSaveOnThisThread = false;
// Set once the process has begun a graceful exit: a worker started now would be cut off.
std::atomic<bool> ProcessExiting{false};
// A refused pinning is reported once per load.
std::atomic<bool> PinningFailureReported{false};
// The game-mode object of the newest request refused while a save ran, until a request is
// accepted again: a graceful exit saves once more for it.
std::atomic<ADravikMode*> RefusedDuringSave{nullptr};
// When the save under way was accepted (0 while none is), and whether it has been reported as
// stuck.
std::atomic<std::chrono::steady_clock::rep> SaveAcceptedAt{0};
std::atomic<bool> StuckSaveReported{false};
// The terminate handler of the thread whose request started the save under way.
std::atomic<std::terminate_handler> RequestersTerminateHandler{nullptr};

class DetourCall {
 public:
  DetourCall() {
    DetourCallsInFlight.fetch_add(1, std::memory_order_acq_rel);
    ++DetourCallsOnThisThread;
  }
  ~DetourCall() {
    --DetourCallsOnThisThread;
    DetourCallsInFlight.fetch_sub(1, std::memory_order_acq_rel);
  }
  DetourCall(const DetourCall&) = delete;
  DetourCall& operator=(const DetourCall&) = delete;
};

void CallServerSaveWorld(void* gameMode) {
  ServerSaveWorld(static_cast<ADravikMode*>(gameMode));
}

void ReportFault(const platform::GuardOutcome& outcome) {
  try {
    std::string fault = Excerpt(platform::DescribeFault(outcome));
    // Bounded: 16 frames at most, each module name cut short.
    const std::string stack = platform::DescribeStack(outcome);
    if (!stack.empty()) fault += "; stack: " + stack;
    PluginLog::Log([&fault](spdlog::logger& log) { log.error("Save fault: {}", fault); });
  } catch (const std::exception&) {
    // No memory to describe it: the error line above has said what matters.
  }
}

void ReportCrashDump(const platform::GuardOutcome& outcome) {
  try {
    if (!outcome.crashDump.empty()) {
      const std::string path = Excerpt(outcome.crashDump, 1000);
      PluginLog::Log([&path](spdlog::logger& log) { log.info("Crash dump written to {}.", path); });
    } else if (!outcome.crashDumpFailure.empty()) {
      const std::string reason = Excerpt(outcome.crashDumpFailure, 1000);
      PluginLog::Log([&reason](spdlog::logger& log) {
        log.warn("Could not write a crash dump ({}); the server goes on.", reason);
      });
    }
  } catch (const std::exception&) {
    // No memory for the line: the dump, if any, is on disk all the same.
  }
}

// Runs the server's routine; whatever it raises ends here as "Error failed to save!", followed
// by a "Save fault:" line with LogSaveFaults.
void RunGuardedSave(ADravikMode* gameMode) {
  const auto start =
      LogSaveTimes ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  const platform::GuardOutcome outcome = platform::RunGuarded(&CallServerSaveWorld, gameMode);
  if (outcome.Completed()) {
    if (LogSaveTimes) {
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      PluginLog::Log(
          [&took](spdlog::logger& log) { log.info("World saved in {:.3f} s.", took.count()); });
    }
    return;
  }
  PluginLog::Log([](spdlog::logger& log) { log.error("Error failed to save!"); });
  if (LogSaveFaults) ReportFault(outcome);
  ReportCrashDump(outcome);
}

// Ends a save on every way out of it: the flag is cleared, and a save whose thread ended inside
// the server's routine (pthread_exit, cancellation), which unwinds through here without an
// outcome, is logged as failed while the unwinding goes on.
class SaveSettlement {
 public:
  SaveSettlement() { RunningSaveOnThisThread = true; }
  ~SaveSettlement() {
    RunningSaveOnThisThread = false;
    if (!settled_) {
      // Unwinding already: nothing of a sink's may stop it, and the flag below is what matters.
      PluginLog::Log([](spdlog::logger& log) {
        log.error("Error failed to save!");
        if (LogSaveFaults) {
          log.error(
              "Save fault: the save thread ended inside the server's routine (thread exit or "
              "cancellation)");
        }
      });
    }
    SaveAcceptedAt.store(0);
    ReleaseSave();
  }
  SaveSettlement(const SaveSettlement&) = delete;
  SaveSettlement& operator=(const SaveSettlement&) = delete;
  void Settled() { settled_ = true; }

 private:
  bool settled_ = false;
};

void SaveWorkerEntry(void* gameMode) {
  SaveWorker(static_cast<ADravikMode*>(gameMode));
}

std::string ProcessorList(std::uint64_t mask) {
  std::string list;
  for (int processor = 0; processor < 64; ++processor) {
    if (((mask >> processor) & 1U) == 0) continue;
    if (!list.empty()) list += ",";
    list += std::to_string(processor);
  }
  return list;
}

void PinSaveThread(platform::WorkerThread& saveThread) {
  const int refused = saveThread.SetAffinityMask(AffinityMask);
  if (refused == 0 || PinningFailureReported.exchange(true)) return;
  try {
    const std::string processors = ProcessorList(AffinityMask);
    const std::string reason = Excerpt(platform::SystemErrorText(refused));
    PluginLog::Log([&](spdlog::logger& log) {
      log.warn("Could not pin the save thread to CPU threads {} ({}); saves run on any CPU thread.",
               processors, reason);
    });
  } catch (const std::exception&) {
    // No memory for the line: the save goes on unpinned all the same.
  }
}

}  // namespace

bool ClaimSaveFlag() {
  return !SaveInProgress.exchange(true, std::memory_order_acq_rel);
}

// This copy's flag, then the process's slot, which a save thread of a copy unloaded since may
// still hold: one save at a time in the process.
bool ClaimSave() {
  if (!ClaimSaveFlag()) return false;
  if (platform::ClaimProcessSaveSlot()) return true;
  SaveInProgress.store(false, std::memory_order_release);
  return false;
}

void ReleaseSave() {
  platform::ReleaseProcessSaveSlot();
  SaveInProgress.store(false, std::memory_order_release);
}

void RunSave(ADravikMode* gameMode) {
  SaveSettlement settlement;
  RunGuardedSave(gameMode);
  settlement.Settled();
}

bool SaveRunsOnThisThread() {
  return RunningSaveOnThisThread;
}

bool DetourCallsLeft() {
  return DetourCallsInFlight.load(std::memory_order_acquire) <= DetourCallsOnThisThread;
}

bool BeginProcessExit() {
  return !ProcessExiting.exchange(true);
}

bool ProcessExitBegun() {
  return ProcessExiting.load();
}

ADravikMode* TakeRequestRefusedDuringSave() {
  return RefusedDuringSave.exchange(nullptr);
}

void SaveWorker(ADravikMode* gameMode) {
  // Where the runtime keeps the terminate handler per thread, the save ends as it would have on
  // the thread that asked for it, through the server's crash reporter, say. Where it keeps one
  // for the process, that one is the server's already, and may have changed since the request.
  if (platform::kTerminateHandlerPerThread) std::set_terminate(RequestersTerminateHandler.load());
  RunSave(gameMode);
}

namespace {

void NoteSaveAccepted() {
  if (platform::kTerminateHandlerPerThread) RequestersTerminateHandler.store(std::get_terminate());
  RefusedDuringSave.store(nullptr);
  StuckSaveReported.store(false);
  SaveAcceptedAt.store(std::chrono::steady_clock::now().time_since_epoch().count());
}

// A save that never ends refuses every request after it; the warning alone does not say why.
void ReportStuckSave() {
  const auto acceptedAtTicks = SaveAcceptedAt.load();
  if (acceptedAtTicks == 0) return;  // refused by an unload or an exit, not by a save
  const std::chrono::steady_clock::time_point acceptedAt{
      std::chrono::steady_clock::duration{acceptedAtTicks}};
  const std::chrono::duration<double> running = std::chrono::steady_clock::now() - acceptedAt;
  if (running.count() < StuckSaveMinutes * 60 || StuckSaveReported.exchange(true)) return;
  // The wall clock only here, at a rare report: reading it can take the loader's lock (mingw-w64's
  // clock looks its system function up on first use), which an accepted request never waits for.
  const auto since = std::chrono::system_clock::now() -
                     std::chrono::duration_cast<std::chrono::system_clock::duration>(running);
  try {
    const std::string started = platform::LocalDateAndTime(since);
    const double seconds = running.count();
    PluginLog::Log([&](spdlog::logger& log) {
      // A limit below a minute or two is said in seconds: "after 0 minutes" says nothing.
      if (seconds >= 120) {
        log.error(
            "The world save running since {} has not finished after {:.0f} minutes; every save "
            "request is refused until it does.",
            started, seconds / 60);
      } else {
        log.error(
            "The world save running since {} has not finished after {:.3g} seconds; every save "
            "request is refused until it does.",
            started, seconds);
      }
    });
  } catch (const std::exception&) {
    // No memory for the line; the warning has been logged.
  }
}

void RefuseRequest(ADravikMode* gameMode) {
  RefusedDuringSave.store(gameMode);
  PluginLog::Log([](spdlog::logger& log) { log.warn("World Already Saving!"); });
  ReportStuckSave();
}

}  // namespace

void SaveWorldDetour(ADravikMode* gameMode) {
  const DetourCall call;
  // One test-and-set: two requests at the same instant never both get through. Once an unload
  // has begun it holds the flag, so nothing here starts a thread any more.
  if (!ClaimSave()) {
    RefuseRequest(gameMode);
    return;
  }
  NoteSaveAccepted();
  if (ProcessExiting.load()) {
    RunSave(gameMode);  // a worker would be ended with the process, mid-save
    return;
  }
  // Local to this call: a worker can finish and clear the flag before this call has detached
  // it, and another server thread's request must not touch this thread object then.
  platform::WorkerThread SaveThread;
  // Should the library be gone before the thread enters it, the server's own routine saves.
  const auto serverRoutine = reinterpret_cast<void (*)(void*)>(ServerSaveWorld);
  if (!SaveThread.Start(&SaveWorkerEntry, gameMode, serverRoutine)) {
    // No thread to be had: save here rather than never again. The flag stays set until this
    // save is done, so no worker can run beside it.
    PluginLog::Log([](spdlog::logger& log) {
      log.warn("Could not start a save thread; the world is saved on the server thread instead.");
    });
    RunSave(gameMode);
    return;
  }
  if (AffinityEnabled) PinSaveThread(SaveThread);
  SaveThread.Detach();
}

void ResetSaveState() {
  SaveInProgress.store(false, std::memory_order_release);
  ProcessExiting.store(false);
  PinningFailureReported.store(false);
  RefusedDuringSave.store(nullptr);
  StuckSaveReported.store(false);
  SaveAcceptedAt.store(0);
}

void ResetSaveStateInForkedChild() {
  DetourCallsInFlight.store(DetourCallsOnThisThread);
  // A request refused in the parent is the parent's to save at its exit.
  RefusedDuringSave.store(nullptr);
  if (RunningSaveOnThisThread) return;  // the save forked: its copy goes on in the child
  SaveAcceptedAt.store(0);
  SaveInProgress.store(false, std::memory_order_release);
}

}  // namespace tamsel
