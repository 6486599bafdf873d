#include "platform/Threads.h"

#include <windows.h>

#include <atomic>

#if defined(__MINGW32__)
#include <pthread.h>
#endif

namespace platform {
namespace {

// The library's own module, referenced once more for each worker that runs. Written by each
// request (always the same value) while the previous worker may still be reading it.
std::atomic<HMODULE> gLibraryModule{nullptr};

void CallCatchingCppExceptions(void (*fn)(void*), void* arg, bool* threw) {
  try {
    fn(arg);
  } catch (...) {
    *threw = true;
  }
}

// The fault has to be raised in a function called from the guarded block, not inlined into it.
__declspec(noinline) bool CallUnderStructuredGuard(void (*fn)(void*), void* arg) {
  bool threw = false;
  __try {
    CallCatchingCppExceptions(fn, arg, &threw);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    return false;
  }
  return !threw;
}

HANDLE Win32Handle(std::thread& thread) {
#if defined(__MINGW32__)
  // mingw-w64's posix thread model hands out winpthreads ids, not Win32 handles.
  return pthread_gethandle(thread.native_handle());
#else
  return static_cast<HANDLE>(thread.native_handle());
#endif
}

}  // namespace

bool RunGuarded(void (*fn)(void*), void* arg) {
  return CallUnderStructuredGuard(fn, arg);
}

void SetThreadAffinityMask(std::thread& thread, std::uint64_t mask) noexcept {
  ::SetThreadAffinityMask(Win32Handle(thread), static_cast<DWORD_PTR>(mask));
}

std::uint64_t CurrentThreadAffinity() noexcept {
  // Windows has no query for one thread: setting a mask returns the one it replaces.
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) return 0;
  const DWORD_PTR previous = ::SetThreadAffinityMask(GetCurrentThread(), processMask);
  ::SetThreadAffinityMask(GetCurrentThread(), previous);
  return previous;
}

void HoldLibraryForWorker() noexcept {
  HMODULE module = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&HoldLibraryForWorker), &module)) {
    gLibraryModule = module;
  }
}

void ReleaseLibraryHold() noexcept {
  if (HMODULE module = gLibraryModule.load()) FreeLibrary(module);
}

void WorkerThreadStarted() noexcept {}

void WorkerThreadFinished() noexcept {
  // Drops this worker's reference and ends the thread in one step, so an unload that came
  // while the save ran happens only once the thread no longer runs the library's code.
  if (HMODULE module = gLibraryModule.load()) FreeLibraryAndExitThread(module, 0);
}

// The module reference keeps the library loaded under a running worker, and at process
// termination the other threads are already gone: there is never anything to wait for.
bool AnyWorkerInLibrary() noexcept {
  return false;
}

bool WaitForWorkersToLeave(std::chrono::milliseconds) noexcept {
  return true;
}

}  // namespace platform
