#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

// What the save worker needs from the operating system, one implementation per platform.
namespace platform {

// Calls fn(arg) so that a C++ exception or a processor fault (access violation, division by
// zero, illegal instruction) raised inside it ends the call here. Returns false when the call
// did not return normally. Faults on other threads, or outside such a call, reach whatever
// handler the process had before. Only thread cancellation passes through.
bool RunGuarded(void (*fn)(void*), void* arg);

// Restricts the thread to the logical processors whose bits are set (bit j is processor j).
// The answer is not examined: a mask the system refuses leaves the thread where it was.
void SetThreadAffinityMask(std::thread& thread, std::uint64_t mask) noexcept;

// The processors the calling thread may run on, as a mask of processors 0 to 63.
std::uint64_t CurrentThreadAffinity() noexcept;

// The library's code must stay in memory while a detached save worker runs it.
// The detour takes a hold before it creates the worker, and gives it back itself only when the
// worker could not be created; the worker reports its start and its end.
void HoldLibraryForWorker() noexcept;
void ReleaseLibraryHold() noexcept;
void WorkerThreadStarted() noexcept;
// Last call on a worker. On Windows it releases the hold and ends the thread, so it does not
// return there; on POSIX it returns and the unload waits for the thread to be gone instead.
void WorkerThreadFinished() noexcept;

// True while a worker may still run the library's code.
bool AnyWorkerInLibrary() noexcept;
// Waits until no worker runs the library's code; false when the limit ran out first.
bool WaitForWorkersToLeave(std::chrono::milliseconds limit) noexcept;

}  // namespace platform
