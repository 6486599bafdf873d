#pragma once

// The process-wide state of the save: written by the load (the configuration's settings) and by
// the detour, read by the detour, its workers and the unload. Apart from the code that uses it,
// so that reading the configuration does not depend on the save's code.
#include <atomic>
#include <cstdint>

// The server's game-mode class. The plug-in only passes pointers to it along.
class ADravikMode;

namespace tamsel {

using SaveWorldFunction = void (*)(ADravikMode*);

// A save is under way, on a worker or on the server's thread (when no worker could be
// started); held for good once an unload has begun.
extern std::atomic<bool> SaveInProgress;
// The server's own save routine; the host writes it when it installs the detour.
extern SaveWorldFunction ServerSaveWorld;
// Whether save threads are pinned to AffinityMask (bit j = logical processor j). Written while
// the library loads, before the detour is installed; only read afterwards.
extern bool AffinityEnabled;
extern std::uint64_t AffinityMask;
// Optional reports, from config.json: an info line with the duration of each save that ends
// normally, and an error line saying what ended each save that failed.
extern bool LogSaveTimes;
extern bool LogSaveFaults;
// From config.json (default true): hold a graceful exit of the process until a running save is
// done (the Windows exit hook; on POSIX the unload at exit always waits).
extern bool WaitForSaveAtExit;
// From config.json (default 10): once a save has run this many minutes, the next refused
// request logs one error saying so.
extern double StuckSaveMinutes;
// From config.json (default 60): how long an unload or a graceful exit waits for a running save.
extern int SaveWaitSeconds;
// From config.json (default 0, off): on Windows, a crash dump for each crashed save, the newest
// this many kept.
extern int CrashDumps;

}  // namespace tamsel
