#include "state/SaveState.h"

namespace tamsel {

static_assert(sizeof(std::atomic<bool>) == 1 && std::atomic<bool>::is_always_lock_free,
              "the save flag is one lock-free byte");

std::atomic<bool> SaveInProgress{false};
SaveWorldFunction ServerSaveWorld = nullptr;
bool AffinityEnabled = false;
std::uint64_t AffinityMask = 0;
bool LogSaveTimes = false;
bool LogSaveFaults = false;
bool WaitForSaveAtExit = true;
double StuckSaveMinutes = 10;
int SaveWaitSeconds = 60;
int CrashDumps = 0;

}  // namespace tamsel
