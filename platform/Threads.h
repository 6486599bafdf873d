#pragma once

#include <chrono>
#include <cstdint>

// The save worker's thread, one implementation per platform. A worker keeps the library's code
// in memory for as long as it runs it: on Windows through a module reference that the thread
// drops as it ends; on POSIX the unload waits until the thread is gone (AnyWorkerInLibrary).
namespace platform {

class WorkerThread {
 public:
  WorkerThread() = default;
  ~WorkerThread() { Detach(); }
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts body(arg) on a new thread with the platform's default stack size and priority.
  // False, with nothing started, when the system has no thread to give.
  bool Start(void (*body)(void*), void* arg) noexcept;

  // Restricts the thread to the logical processors whose bits are set (bit j is processor j).
  // The answer is not examined: a mask the system refuses leaves the thread where it was.
  void SetAffinityMask(std::uint64_t mask) noexcept;

  // Lets the thread run on by itself; this object no longer refers to it.
  void Detach() noexcept;

 private:
  std::uintptr_t native_ = 0;  // the thread's handle; 0 when there is none
};

// The processors the calling thread may run on, as a mask of processors 0 to 63.
std::uint64_t CurrentThreadAffinity() noexcept;

// True while a worker may still run the library's code.
bool AnyWorkerInLibrary() noexcept;
// Waits until no worker runs the library's code; false when the limit ran out first.
bool WaitForWorkersToLeave(std::chrono::milliseconds limit) noexcept;

// Test seam: while set, WorkerThread::Start fails as if the system had no thread to give.
void SetThreadCreationFailsForTesting(bool fails) noexcept;

}  // namespace platform
