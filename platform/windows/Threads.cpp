#include "platform/Threads.h"

#include <windows.h>

#include <atomic>
#include <new>
#include <system_error>

namespace platform {
namespace {

std::atomic<bool> gThreadCreationFails{false};
// Workers started and not yet past their save; workers started and not yet detached from the
// library (or gone with it).
std::atomic<int> gWorkersInSave{0};
std::atomic<int> gWorkersAttached{0};
thread_local bool tInSave = false;

// The newest worker's thread, for an exiting process to wait on; the next worker's replaces it.
std::atomic<HANDLE> gNewestWorker{nullptr};

void KeepAsNewestWorker(HANDLE thread) {
  HANDLE copy = nullptr;
  // Querying the thread's id needs the second right.
  if (!DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy,
                       SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
    copy = nullptr;
  }
  if (HANDLE older = gNewestWorker.exchange(copy)) CloseHandle(older);
}

// Gives the handle back when the library is unloaded.
struct NewestWorkerRelease {
  NewestWorkerRelease() = default;
  NewestWorkerRelease(const NewestWorkerRelease&) = delete;
  NewestWorkerRelease& operator=(const NewestWorkerRelease&) = delete;
  ~NewestWorkerRelease() {
    if (HANDLE thread = gNewestWorker.exchange(nullptr)) CloseHandle(thread);
  }
} gNewestWorkerRelease;

// Set on a worker whose reference holds a library (not the program itself) until the thread
// detaches from it. Plain data: a thread-local object with a destructor would pin the library.
thread_local bool tAttached = false;

struct StartRequest {
  void (*body)(void*);
  void* arg;
  HMODULE library;  // this library, referenced once more for this worker
  bool attached;    // counted in gWorkersAttached until the thread detaches
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
  tAttached = start.attached;
  tInSave = true;
  start.body(start.arg);
  tInSave = false;
  gWorkersInSave.fetch_sub(1);
  // Drops this worker's reference and ends the thread in one step, so an unload that came
  // while the save ran happens only once the thread no longer runs the library's code.
  FreeLibraryAndExitThread(start.library, 0);
}

}  // namespace

bool WorkerThread::Start(void (*body)(void*), void* arg) noexcept {
  HMODULE library = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&WorkerMain), &library)) {
    return false;
  }
  // Linked into the program itself (the unit tests), the code is never unloaded.
  const bool attached = library != GetModuleHandleW(nullptr);
  auto* request = new (std::nothrow) StartRequest{body, arg, library, attached};
  // The test seam fails where CreateThread would, so the reference is given back as it would be.
  gWorkersInSave.fetch_add(1);
  if (attached) gWorkersAttached.fetch_add(1);
  HANDLE thread = request != nullptr && !gThreadCreationFails.load()
                      ? CreateThread(nullptr, 0, &WorkerMain, request, 0, nullptr)
                      : nullptr;
  if (thread == nullptr) {
    if (attached) gWorkersAttached.fetch_sub(1);
    gWorkersInSave.fetch_sub(1);
    delete request;
    FreeLibrary(library);
    return false;
  }
  native_ = reinterpret_cast<std::uintptr_t>(thread);
  KeepAsNewestWorker(thread);
  return true;
}

int WorkerThread::SetAffinityMask(std::uint64_t mask) noexcept {
  if (native_ == 0) return ERROR_INVALID_HANDLE;
  if (::SetThreadAffinityMask(reinterpret_cast<HANDLE>(native_), static_cast<DWORD_PTR>(mask)) !=
      0) {
    return 0;
  }
  const DWORD error = GetLastError();
  return error != 0 ? static_cast<int>(error) : ERROR_INVALID_PARAMETER;
}

std::string SystemErrorText(int code) {
  return std::system_category().message(code);
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

// A worker past its save holds only a module reference, which keeps the library loaded; at
// process termination the other threads are already gone. What an unload may wait for is a
// worker still in its save, other than the calling thread.
bool AnyWorkerInLibrary() noexcept {
  return gWorkersInSave.load() > (tInSave ? 1 : 0);
}

bool WaitForWorkersToLeave(std::chrono::milliseconds limit) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (AnyWorkerInLibrary()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Sleep(2);
  }
  return true;
}

bool WaitForNewestWorkerToEnd(std::chrono::milliseconds limit) noexcept {
  HANDLE thread = gNewestWorker.exchange(nullptr);
  if (thread == nullptr) return true;
  bool ended = true;
  if (GetThreadId(thread) != GetCurrentThreadId()) {
    ended = WaitForSingleObject(thread, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
  }
  CloseHandle(thread);
  return ended;
}

bool WorkerStillAttached() noexcept {
  return gWorkersAttached.load() > (tAttached ? 1 : 0);
}

void NoteThreadDetach() noexcept {
  if (!tAttached) return;
  tAttached = false;
  gWorkersAttached.fetch_sub(1);
}

// Windows has no fork().
void WatchForks(void (*)()) noexcept {}

void SetThreadCreationFailsForTesting(bool fails) noexcept {
  gThreadCreationFails.store(fails);
}

}  // namespace platform
