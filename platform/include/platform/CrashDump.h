#pragma once

#include <filesystem>

// Dumps of the whole process for the processor faults that the guard catches (FaultGuard.h),
// for whoever maintains the code that crashed. Windows only: a minidump through dbghelp.dll,
// written on the faulting thread in the guard's filter, while the fault's stack is still there.
// Each outcome then names the dump (GuardOutcome::crashDump) or says why none was written.
namespace platform {

bool CrashDumpsSupported() noexcept;

// From now on a dump goes into `folder` (created when needed) for every fault caught, named
// "save-crash-<UTC time>.dmp" so that names sort by time; of those, the newest `keep` stay and
// older ones are removed. Call while no guarded call runs (the library's load).
void EnableCrashDumps(const std::filesystem::path& folder, int keep);
void DisableCrashDumps() noexcept;

}  // namespace platform
