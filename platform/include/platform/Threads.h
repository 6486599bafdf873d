#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// The save worker's thread, one implementation per platform. A worker keeps the library's code
// in memory for as long as it runs it: on Windows through a module reference that the thread
// drops as it ends; on POSIX the unload waits until the thread is gone (AnyWorkerInLibrary).
namespace tamsel::platform {

// The largest stack a worker is given: a thread whose stack may grow without limit (a main
// thread under "ulimit -s unlimited") reserves this much for its worker.
inline constexpr std::size_t kMaxWorkerStackBytes = std::size_t{1} << 30;

class WorkerThread {
 public:
  WorkerThread() = default;
  ~WorkerThread() { Detach(); }
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Makes a new thread for body(arg), with the platform's default priority and a stack as
  // large as the calling thread's (at least the system's default for new threads, at most
  // kMaxWorkerStackBytes), so that what runs on the caller's stack runs on the new one; it
  // runs once detached, so that it can be pinned first and cannot have ended by then. False,
  // with nothing started, when the system has no thread to give. Should the library be unloaded
  // before the new thread has entered its code (Windows: the thread takes its own reference to
  // the library, and the unload may come first), the thread runs withoutLibrary(arg) instead,
  // which must be code of another module.
  // POSIX: a pthread waiting on a gate; Windows: a suspended thread started in outliving code.
  bool Start(void (*body)(void*), void* arg, void (*withoutLibrary)(void*)) noexcept;

  // Restricts the thread to the logical processors whose bits are set (bit j is processor j).
  // 0 when the system took the mask; otherwise its error code (SystemErrorText names it), and
  // the thread runs where it was allowed to before.
  // POSIX: pthread_setaffinity_np (Linux); Windows: SetThreadAffinityMask.
  int SetAffinityMask(std::uint64_t mask) noexcept;

  // Lets the thread run, by itself; this object no longer refers to it. POSIX: opens the gate
  // and detaches; Windows: resumes the thread and closes its handle.
  void Detach() noexcept;

 private:
  std::uintptr_t native_ = 0;              // the thread's handle; 0 when there is none
  [[maybe_unused]] void* held_ = nullptr;  // POSIX: what lets the thread run
};

// Whether the C++ runtime keeps the terminate handler per thread (Microsoft's, where a new
// thread starts with the default one) rather than one for the whole process (libstdc++,
// libc++), which a thread must then leave as the program set it.
#if defined(_MSC_VER)
inline constexpr bool kTerminateHandlerPerThread = true;
#else
inline constexpr bool kTerminateHandlerPerThread = false;
#endif

// The system's words for an error code that a function here returned. POSIX: an errno value's
// (generic category); Windows: a GetLastError code's (system category).
std::string SystemErrorText(int code);

// One save at a time in the process, whatever copies of the library come and go in it: a save
// claims the process's slot as it is accepted (false: another copy's save holds it) and gives
// it back as it ends. On Windows a copy's save thread can outlive the copy, and gives the slot
// back from outliving code once its save is done. On POSIX an unload waits for every worker of
// its copy, so each copy's own save flag suffices: the slot is always free there.
// POSIX: always true, and nothing to give back; Windows: a named semaphore of one.
bool ClaimProcessSaveSlot() noexcept;
void ReleaseProcessSaveSlot() noexcept;

// True while a worker other than the calling thread may still run the library's code. POSIX:
// until the thread is gone; Windows: until it has dropped its reference to the library.
bool AnyWorkerInLibrary() noexcept;

// For the library's unload: true when a worker was started but has not entered the library's
// code, and now never will (Windows: it runs its withoutLibrary instead), so the save flag it
// was started under is held for nobody. Never on POSIX, where the unload waits for every worker.
bool WorkerLeftOutOfUnload() noexcept;

// Waits until no worker runs the library's code (as AnyWorkerInLibrary tells); false when the
// limit ran out first.
bool WaitForWorkersToLeave(std::chrono::milliseconds limit) noexcept;

// Waits until the newest worker's thread has ended, not only left its save, unless it is the
// calling thread; false when the limit ran out first. For a process exit on Windows, where a
// thread still ending as the process ends can bring Wine down. Never call it under the loader
// lock: the thread's end takes it. On POSIX it returns true at once: there a worker counts as
// in the library until its thread is gone.
bool WaitForNewestWorkerToEnd(std::chrono::milliseconds limit) noexcept;

// Gives back what the library's C++ runtime keeps for the calling thread and, with
// `libraryUnloading`, for the library itself, where the runtime would not. A mingw-w64 build
// carries libstdc++ and winpthreads inside the library: they free a thread's state only when
// the thread detaches from a library that stays (not for a save thread that leaves with it, nor
// for the thread that unloads it), and never their thread-local storage slot or libstdc++'s
// emergency exception memory. Call it last thing on a save thread, after the load (the unload
// may run on another thread), and last thing in the unload. Nothing to do in a program (where the
// code is never unloaded) or on POSIX.
void ReleaseRuntimeState(bool libraryUnloading) noexcept;

// Call inside catch (...): rethrows what is being caught when it is the calling thread's
// cancellation, which must unwind on; returns for anything else. POSIX: glibc's forced unwind;
// Windows: nothing (no cancellation), returns at once.
void RethrowThreadCancellation();

// From now on `inChild` runs in the child of every fork(), once the worker bookkeeping has been
// reset there: a child has no thread but the one that forked. POSIX: pthread_atfork; Windows:
// nothing (no fork).
void WatchForks(void (*inChild)()) noexcept;

}  // namespace tamsel::platform
