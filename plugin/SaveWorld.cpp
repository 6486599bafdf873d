#include "plugin/SaveWorld.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "logging/LogText.h"
#include "logging/PluginLog.h"
#include "platform/Clock.h"
#include "platform/FaultGuard.h"
#include "platform/ProcessExit.h"
#include "platform/Threads.h"
#include "platform/Wait.h"

namespace tamsel {

namespace {

// A call the host dispatched just before the detour was removed may not have reached the
// detour's first statement yet, and a call that has counted itself out still runs the detour's
// last instructions: the unload gives each of them this long.
constexpr std::chrono::milliseconds kDetourGrace{50};
// Once its save is over, a worker's thread ends within moments; should the exit come while the
// loader is busy, it does not wait longer than this.
constexpr std::chrono::seconds kWorkerEndLimit{1};

// Calls of the detour under way, counted from its first statement: the unload waits for them
// to leave before the library's code goes.
std::atomic<int> DetourCallsInFlight{0};
thread_local int DetourCallsOnThisThread = 0;
// Set while this thread runs a save (a worker, or the server's thread when no worker could be
// started). An unload on such a thread (the server's routine called exit()) must not wait for
// the save it is part of.
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
std::atomic<std::chrono::system_clock::rep> SaveAcceptedAtWallClock{0};
std::atomic<bool> StuckSaveReported{false};

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
    PluginLog::Get().GetLog()->error("Save fault: {}", Excerpt(platform::DescribeFault(outcome)));
  } catch (const std::exception&) {
    // No memory to describe it: the error line above has said what matters.
  }
}

// Runs the server's routine; whatever it raises ends here as "Error failed to save!", followed
// by a "Save fault:" line with LogSaveFaults.
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

// Ends a save on every way out of it: the flag is cleared, and a save whose thread ended inside
// the server's routine (pthread_exit, cancellation), which unwinds through here without an
// outcome, is logged as failed while the unwinding goes on.
class SaveSettlement {
 public:
  SaveSettlement() { RunningSaveOnThisThread = true; }
  ~SaveSettlement() {
    RunningSaveOnThisThread = false;
    if (!settled_) {
      try {
        const auto& log = PluginLog::Get().GetLog();
        log->error("Error failed to save!");
        if (LogSaveFaults) {
          log->error(
              "Save fault: the save thread ended inside the server's routine (thread exit or "
              "cancellation)");
        }
      } catch (...) {
        // Nothing may stop the unwinding; the flag below is what matters.
      }
    }
    SaveAcceptedAt.store(0);
    SaveInProgress.store(false, std::memory_order_release);
  }
  SaveSettlement(const SaveSettlement&) = delete;
  SaveSettlement& operator=(const SaveSettlement&) = delete;
  void Settled() { settled_ = true; }

 private:
  bool settled_ = false;
};

void RunSave(ADravikMode* gameMode) {
  SaveSettlement settlement;
  RunGuardedSave(gameMode);
  settlement.Settled();
}

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
    PluginLog::Get().GetLog()->warn(
        "Could not pin the save thread to CPU threads {} ({}); saves run on any CPU thread.",
        ProcessorList(AffinityMask), Excerpt(platform::SystemErrorText(refused)));
  } catch (const std::exception&) {
    // No memory for the line: the save goes on unpinned all the same.
  }
}

}  // namespace

void SaveWorker(ADravikMode* gameMode) {
  RunSave(gameMode);
}

namespace {

void NoteSaveAccepted() {
  RefusedDuringSave.store(nullptr);
  StuckSaveReported.store(false);
  SaveAcceptedAt.store(std::chrono::steady_clock::now().time_since_epoch().count());
  SaveAcceptedAtWallClock.store(std::chrono::system_clock::now().time_since_epoch().count());
}

// A save that never ends refuses every request after it; the warning alone does not say why.
void ReportStuckSave() {
  const auto acceptedAtTicks = SaveAcceptedAt.load();
  if (acceptedAtTicks == 0) return;  // refused by an unload or an exit, not by a save
  const std::chrono::steady_clock::time_point acceptedAt{
      std::chrono::steady_clock::duration{acceptedAtTicks}};
  const std::chrono::duration<double, std::ratio<60>> running =
      std::chrono::steady_clock::now() - acceptedAt;
  if (running.count() < StuckSaveMinutes || StuckSaveReported.exchange(true)) return;
  const std::chrono::system_clock::time_point since{
      std::chrono::system_clock::duration{SaveAcceptedAtWallClock.load()}};
  PluginLog::Get().GetLog()->error(
      "The world save running since {} has not finished after {:.0f} minutes; every save request "
      "is refused until it does.",
      platform::LocalDateAndTime(since), running.count());
}

void RefuseRequest(ADravikMode* gameMode) {
  RefusedDuringSave.store(gameMode);
  PluginLog::Get().GetLog()->warn("World Already Saving!");
  ReportStuckSave();
}

}  // namespace

void SaveWorldDetour(ADravikMode* gameMode) {
  const DetourCall call;
  // One test-and-set: two requests at the same instant never both get through. Once an unload
  // has begun it holds the flag, so nothing here starts a thread any more.
  if (SaveInProgress.exchange(true, std::memory_order_acq_rel)) {
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
  if (!SaveThread.Start(&SaveWorkerEntry, gameMode)) {
    // No thread to be had: save here rather than never again. The flag stays set until this
    // save is done, so no worker can run beside it.
    PluginLog::Get().GetLog()->warn(
        "Could not start a save thread; the world is saved on the server thread instead.");
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
  if (RunningSaveOnThisThread) return;  // the save forked: its copy goes on in the child
  SaveAcceptedAt.store(0);
  SaveInProgress.store(false, std::memory_order_release);
  RefusedDuringSave.store(nullptr);
}

namespace {

// Logs that the unload or the exit waits, once.
class WaitAnnouncement {
 public:
  void operator()() {
    if (announced_) return;
    announced_ = true;
    PluginLog::Get().GetLog()->info(
        "Waiting for the running world save to finish before unloading.");
  }

 private:
  bool announced_ = false;
};

// Waits for a save thread still in the library's code (never the calling one); false when the
// deadline came first.
bool WaitForWorkers(std::chrono::steady_clock::time_point deadline, WaitAnnouncement& announce) {
  if (!platform::AnyWorkerInLibrary()) return true;
  announce();
  const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return platform::WaitForWorkersToLeave(std::max(remaining, std::chrono::milliseconds(0)));
}

// A save that never returns must not hold up the server's exit for ever.
std::chrono::steady_clock::time_point WaitDeadline() {
  return std::chrono::steady_clock::now() + std::chrono::seconds(SaveWaitSeconds);
}

void ReportWaitTimedOut() {
  PluginLog::Get().GetLog()->error(
      "The world save did not finish within {} seconds; unloading anyway.", SaveWaitSeconds);
}

bool ClaimSaveFlag() {
  return !SaveInProgress.exchange(true, std::memory_order_acq_rel);
}

// Claims the flag once the running save has let it go; false when the deadline came first.
bool WaitToClaimSaveFlag(std::chrono::steady_clock::time_point deadline,
                         WaitAnnouncement& announce) {
  return platform::WaitUntil(deadline, [&announce] {
    if (ClaimSaveFlag()) return true;
    announce();
    return false;
  });
}

}  // namespace

void WaitForSaveWorker() {
  const auto deadline = WaitDeadline();
  WaitAnnouncement announce;
  std::this_thread::sleep_for(kDetourGrace);
  // The flag is claimed for good: a request that passed the host's hook just before it was
  // removed starts no worker now. A save on this very thread holds it already.
  const bool claimed = RunningSaveOnThisThread || WaitToClaimSaveFlag(deadline, announce);
  // Requests inside the detour only log their refusal and return.
  const bool detourLeft = platform::WaitUntil(deadline, [] {
    return DetourCallsInFlight.load(std::memory_order_acquire) <= DetourCallsOnThisThread;
  });
  const bool workersLeft = WaitForWorkers(deadline, announce);
  if (!workersLeft && !platform::CodeOutlivesUnload()) {
    // The library's code goes as this returns, and the save would return into it.
    PluginLog::Get().GetLog()->error(
        "The world save did not finish within {} seconds; the unload waits for it to end, "
        "since the save thread still runs the plug-in's code.",
        SaveWaitSeconds);
    while (!platform::WaitForWorkersToLeave(std::chrono::seconds(SaveWaitSeconds))) {
    }
    if (!claimed) ClaimSaveFlag();
  } else if (!claimed || !detourLeft || !workersLeft) {
    ReportWaitTimedOut();
  }
  std::this_thread::sleep_for(kDetourGrace);
}

void HoldExitForSave() {
  if (ProcessExiting.exchange(true)) return;  // one exit, one wait
  // exit() called by the save itself: the save is over as far as it is concerned.
  if (RunningSaveOnThisThread) return;
  const auto deadline = WaitDeadline();
  WaitAnnouncement announce;
  // Claimed, so that a request from another thread (which now saves on that thread) and the
  // save once more below take turns.
  const bool claimed = WaitToClaimSaveFlag(deadline, announce);
  if (!claimed || !WaitForWorkers(deadline, announce)) {
    if (claimed) SaveInProgress.store(false, std::memory_order_release);
    ReportWaitTimedOut();
    return;
  }
  // The save is complete; a thread still ending as the process ends can take Wine down.
  platform::WaitForNewestWorkerToEnd(kWorkerEndLimit);
  ADravikMode* const refused = RefusedDuringSave.exchange(nullptr);
  if (refused == nullptr) {
    SaveInProgress.store(false, std::memory_order_release);
    return;
  }
  // Without the plug-in the server would have saved its latest state here; the running save
  // holds an older one.
  PluginLog::Get().GetLog()->info(
      "Saving once more before exit: a save asked for during the last one was refused.");
  RunSave(refused);
}

}  // namespace tamsel
