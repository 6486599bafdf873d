#include "platform/Threads.h"

#include <windows.h>

#include <atomic>
#include <new>

namespace platform {
namespace {

std::atomic<bool> gThreadCreationFails{false};

struct StartRequest {
  void (*body)(void*);
  void* arg;
  HMODULE library;  // this library, referenced once more for this worker
};

// A plain Win32 thread, not std::thread: the worker ends in FreeLibraryAndExitThread, which skips
// whatever exit path a thread library has, so a thread library's per-thread state would never
// be freed. Nothing here is allocated per thread but the request, freed as the thread starts.
// The same holds for a Visual Studio build: CreateThread, unlike the C runtime's
// _beginthreadex, takes no module reference of its own that the thread would have to drop, and
// the C runtime frees its per-thread data on the thread-detach notification of ExitThread.
DWORD WINAPI WorkerMain(LPVOID parameter) {
  const StartRequest start = *static_cast<StartRequest*>(parameter);
  delete static_cast<StartRequest*>(parameter);
  start.body(start.arg);
  // Drops this worker's reference and ends the thread in one step, so an unload that came
  // while the save ran happens only once the thread no longer runs the library's code.
  FreeLibraryAndExitThread(start.library, 0);
}

}  // namespace

bool WorkerThread::Start(void (*body)(void*), void* arg) noexcept {
  if (gThreadCreationFails.load()) return false;
  HMODULE library = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&WorkerMain), &library)) {
    return false;
  }
  auto* request = new (std::nothrow) StartRequest{body, arg, library};
  HANDLE thread =
      request != nullptr ? CreateThread(nullptr, 0, &WorkerMain, request, 0, nullptr) : nullptr;
  if (thread == nullptr) {
    delete request;
    FreeLibrary(library);
    return false;
  }
  native_ = reinterpret_cast<std::uintptr_t>(thread);
  return true;
}

void WorkerThread::SetAffinityMask(std::uint64_t mask) noexcept {
  if (native_ == 0) return;
  ::SetThreadAffinityMask(reinterpret_cast<HANDLE>(native_), static_cast<DWORD_PTR>(mask));
}

void WorkerThread::Detach() noexcept {
  if (native_ == 0) return;
  CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = 0;
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

// The module reference keeps the library loaded under a running worker, and at process
// termination the other threads are already gone: there is never anything to wait for.
bool AnyWorkerInLibrary() noexcept {
  return false;
}

bool WaitForWorkersToLeave(std::chrono::milliseconds) noexcept {
  return true;
}

void SetThreadCreationFailsForTesting(bool fails) noexcept {
  gThreadCreationFails.store(fails);
}

}  // namespace platform
