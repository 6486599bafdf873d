#pragma once

#include <filesystem>

// Dumps of the whole process for the processor faults that the guard catches (FaultGuard.h),
// for whoever maintains the code that crashed. Windows only: a minidump written by the dump
// writer, a process of its own beside the library, which the guard's filter hands the fault to
// while the fault's stack is still there. Each outcome then names the dump
// (GuardOutcome::crashDump) or says why none was written. POSIX: nothing (a caught crash leaves
// no core file either; its log lines are what it leaves).
namespace tamsel::platform {

// POSIX: false; Windows: true.
bool CrashDumpsSupported() noexcept;

// From now on a dump goes into `folder` (created when needed) for every fault caught, named
// "save-crash-<UTC time>-<process id>.dmp"; of those, the newest `keep` by the files' times stay
// and older ones are removed. Call while no guarded call runs (the library's load): it starts
// no process; the first guarded call starts the writer. POSIX: nothing, as DisableCrashDumps.
void EnableCrashDumps(const std::filesystem::path& folder, int keep);
void DisableCrashDumps() noexcept;

}  // namespace tamsel::platform
