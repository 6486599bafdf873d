#include "plugin/UnloadAndExit.h"

#include "SaveWorldInternal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "logging/PluginLog.h"
#include "platform/ProcessExit.h"
#include "platform/Threads.h"
#include "platform/Wait.h"
#include "state/SaveState.h"

// What the unload and a graceful exit wait for, and how long: the running save, the calls still
// inside the detour and the save threads still in the library's code.

namespace tamsel {

namespace {

// One wait for a whole exit: every exit function that comes, on any thread, and the unload at
// the exit wait for the same save until one deadline, and say so once.
std::atomic<std::chrono::steady_clock::rep> ExitDeadline{0};
// What has happened to that wait, as ExitWait bits.
std::atomic<unsigned> ExitWaitState{0};
enum ExitWait : unsigned {
  kExitWaitAnnounced = 1,  // its "Waiting for ..." line is logged
  kExitWaitGaveUp = 2,     // the deadline came with the save still running
  kExitWaitOver = 4,       // the first exit's wait has returned
};

// Marks `stage`; true when it was marked already.
bool ExitWaitReached(ExitWait stage) {
  return (ExitWaitState.fetch_or(stage) & stage) != 0;
}

bool ExitWaitHas(ExitWait stage) {
  return (ExitWaitState.load() & stage) != 0;
}

// A call the host dispatched just before the detour was removed may not have reached the
// detour's first statement yet, and a call that has counted itself out still runs the detour's
// last instructions: the unload gives each of them this long.
constexpr std::chrono::milliseconds kDetourGrace{50};
// Once its save is over, a worker's thread ends within moments; should the exit come while the
// loader is busy, it does not wait longer than this.
constexpr std::chrono::seconds kWorkerEndLimit{1};

bool Exiting() {
  return ProcessExitBegun() || platform::ProcessIsExiting();
}

// A save that never returns must not hold up the server's exit for ever.
std::chrono::steady_clock::time_point WaitDeadline(bool exiting) {
  const auto fresh = std::chrono::steady_clock::now() + std::chrono::seconds(SaveWaitSeconds);
  if (!exiting) return fresh;
  auto first = fresh.time_since_epoch().count();
  auto none = std::chrono::steady_clock::rep{0};
  if (!ExitDeadline.compare_exchange_strong(none, first)) first = none;
  return std::chrono::steady_clock::time_point{std::chrono::steady_clock::duration{first}};
}

// Logs that the unload or the exit waits: once per unload, once per exit.
class WaitAnnouncement {
 public:
  explicit WaitAnnouncement(bool exiting) : exiting_(exiting) {}
  void operator()() {
    if (announced_) return;
    announced_ = true;
    if (exiting_ && ExitWaitReached(kExitWaitAnnounced)) return;
    const bool exiting = exiting_;
    PluginLog::Log([exiting](spdlog::logger& log) {
      log.info(exiting ? "Waiting for the running world save to finish before the server exits."
                       : "Waiting for the running world save to finish before unloading.");
    });
  }

 private:
  bool exiting_;
  bool announced_ = false;
};

// "1 second", "60 seconds".
std::string SecondsText(int seconds) {
  return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

// The wait gave up on a save that still runs. At an exit the save may end while the process
// destroys the library's static objects: from now on it logs nothing.
void ReportWaitTimedOut(bool exiting) {
  if (exiting && ExitWaitReached(kExitWaitGaveUp)) return;
  PluginLog::Log([exiting](spdlog::logger& log) {
    const std::string limit = SecondsText(SaveWaitSeconds);
    if (exiting) {
      log.error("The world save did not finish within {}; the server exits anyway.", limit);
    } else {
      log.error("The world save did not finish within {}; unloading anyway.", limit);
    }
  });
  if (exiting) PluginLog::Close();
}

// Waits for a save thread still in the library's code (never the calling one); false when the
// deadline came first.
bool WaitForWorkers(std::chrono::steady_clock::time_point deadline, WaitAnnouncement& announce) {
  if (!platform::AnyWorkerInLibrary()) return true;
  announce();
  const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return platform::WaitForWorkersToLeave(std::max(remaining, std::chrono::milliseconds(0)));
}

// Claims the flag (with `claim`) once the running save has let it go; false when the deadline
// came first.
bool WaitToClaim(bool (*claim)(), std::chrono::steady_clock::time_point deadline,
                 WaitAnnouncement& announce) {
  return platform::WaitUntil(deadline, [claim, &announce] {
    if (claim()) return true;
    announce();
    return false;
  });
}

// The system's loader lock, which the unload holds at dlclose, is what a save most likely
// waits for when it outlasts the unload there: its first thread_local object with a
// destructor, or a library it loads.
void ReportUnloadHeldBySave() {
  PluginLog::Log([](spdlog::logger& log) {
    log.error(
        "The world save did not finish within {}; the unload waits for it to end, since the save "
        "thread still runs the plug-in's code. If the save itself waits for the system's loader "
        "lock (which the unload holds), neither will ever end.",
        SecondsText(SaveWaitSeconds));
  });
}

}  // namespace

void WaitForSaveWorker() {
  const bool exiting = Exiting();
  // The exit already waited for this save and gave up on it: one wait per exit.
  if (exiting && ExitWaitHas(kExitWaitGaveUp)) return;
  const auto deadline = WaitDeadline(exiting);
  WaitAnnouncement announce(exiting);
  std::this_thread::sleep_for(kDetourGrace);
  // This copy's flag is claimed for good: a request that passed the host's hook just before it
  // was removed starts no worker now. A save on this very thread holds it already, and so does
  // a worker that will never enter the library now (it saves with the server's routine alone).
  // The process's slot is not this unload's to wait for: another copy's save runs none of this
  // copy's code.
  const bool claimed = SaveRunsOnThisThread() || platform::WorkerLeftOutOfUnload() ||
                       WaitToClaim(&ClaimSaveFlag, deadline, announce);
  // Requests inside the detour only log their refusal and return.
  const bool detourLeft = platform::WaitUntil(deadline, &DetourCallsLeft);
  const bool workersLeft = WaitForWorkers(deadline, announce);
  if (!workersLeft && !platform::CodeOutlivesUnload()) {
    // The library's code goes as this returns, and the save would return into it.
    ReportUnloadHeldBySave();
    while (!platform::WaitForWorkersToLeave(std::chrono::seconds(SaveWaitSeconds))) {
    }
    if (!claimed) ClaimSaveFlag();
  } else if (!claimed || !detourLeft || !workersLeft) {
    ReportWaitTimedOut(exiting);
  }
  std::this_thread::sleep_for(kDetourGrace);
}

namespace {

// The first exit's wait; the exit goes on once it returns.
void WaitAtFirstExit(std::chrono::steady_clock::time_point deadline) {
  WaitAnnouncement announce(true);
  // Claimed, so that a request from another thread (which now saves on that thread) and the
  // save once more below take turns; with the process's slot, so that a save that another copy
  // of the library started is waited for too.
  const bool claimed = WaitToClaim(&ClaimSave, deadline, announce);
  if (!claimed || !WaitForWorkers(deadline, announce)) {
    if (claimed) ReleaseSave();
    ReportWaitTimedOut(true);
    return;
  }
  // The save is complete; a thread still ending as the process ends can take Wine down.
  platform::WaitForNewestWorkerToEnd(kWorkerEndLimit);
  ADravikMode* const refused = TakeRequestRefusedDuringSave();
  if (refused == nullptr) {
    ReleaseSave();
    return;
  }
  // Without the plug-in the server would have saved its latest state here; the running save
  // holds an older one.
  PluginLog::Log([](spdlog::logger& log) {
    log.info("Saving once more before exit: a save asked for during the last one was refused.");
  });
  RunSave(refused);
}

}  // namespace

void HoldExitForSave() {
  const bool first = BeginProcessExit();
  // exit() called by the save itself: the save is over as far as it is concerned.
  if (SaveRunsOnThisThread()) return;
  const auto deadline = WaitDeadline(true);
  if (!first) {
    // Another thread's exit waits already: this one waits for the same save, to the same end.
    platform::WaitUntil(deadline, [] { return ExitWaitHas(kExitWaitOver); });
    return;
  }
  WaitAtFirstExit(deadline);
  ExitWaitReached(kExitWaitOver);
}

}  // namespace tamsel
