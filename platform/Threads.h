#pragma once

#include <chrono>
#include <cstdint>
#include <string>

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
  // 0 when the system took the mask; otherwise its error code (SystemErrorText names it), and
  // the thread runs where it was allowed to before.
  int SetAffinityMask(std::uint64_t mask) noexcept;

  // Lets the thread run on by itself; this object no longer refers to it.
  void Detach() noexcept;

 private:
  std::uintptr_t native_ = 0;  // the thread's handle; 0 when there is none
};

// The processors the calling thread may run on, as a mask of processors 0 to 63.
std::uint64_t CurrentThreadAffinity() noexcept;

// The system's words for an error code that a function here returned.
std::string SystemErrorText(int code);

// True while a worker other than the calling thread may still run the library's code.
bool AnyWorkerInLibrary() noexcept;
// True while a worker that has finished its save may still hold its reference to the library
// (Windows: until the thread has detached from it). A new worker must not take a reference
// then: if the finished one drops the last, the library's unload holds the loader lock that
// taking a reference waits for. Always false on POSIX.
bool WorkerStillAttached() noexcept;
// Called from the library entry for every thread that detaches from the library.
void NoteThreadDetach() noexcept;

// Waits until no worker runs the library's code; false when the limit ran out first.
bool WaitForWorkersToLeave(std::chrono::milliseconds limit) noexcept;

// Waits until the newest worker's thread has ended, not only left its save, unless it is the
// calling thread; false when the limit ran out first. For a process exit on Windows, where a
// thread still ending as the process ends can bring Wine down. Never call it under the loader
// lock: the thread's end takes it. On POSIX it returns true at once: there a worker counts as
// in the library until its thread is gone.
bool WaitForNewestWorkerToEnd(std::chrono::milliseconds limit) noexcept;

// From now on `inChild` runs in the child of every fork(), once the worker bookkeeping has been
// reset there: a child has no thread but the one that forked. Nothing to do on Windows.
void WatchForks(void (*inChild)()) noexcept;

// Test seam: while set, WorkerThread::Start fails as if the system had no thread to give.
void SetThreadCreationFailsForTesting(bool fails) noexcept;

}  // namespace platform
