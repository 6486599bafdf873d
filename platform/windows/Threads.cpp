#include "platform/Threads.h"
#include "platform/Wait.h"

#include <windows.h>

#include <atomic>
#include <new>
#include <system_error>

#include "windows/ModuleImage.h"

namespace platform {
namespace {

// Workers started and not yet past their save.
std::atomic<int> WorkersInSave{0};
thread_local bool InSaveOnThisThread = false;

// The loader's lock guards module references, and this library's own unload holds it while it
// waits for the requests inside the detour: a request that waited for the lock would wait for
// the unload that waits for it. So a request only tries the lock (ntdll's LdrLockLoaderLock,
// found while loading, when the loader's lock is held anyway) for a moment, as long as a thread
// ending or a library loading elsewhere holds it.
constexpr ULONG kTryOnly = 0x2;
constexpr ULONG kAcquired = 1;
constexpr DWORD kLoaderLockPatienceMs = 20;
using LockLoaderLock = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
using UnlockLoaderLock = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);

struct LoaderLock {
  LoaderLock() {
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
      lock = reinterpret_cast<LockLoaderLock>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
      unlock = reinterpret_cast<UnlockLoaderLock>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    }
  }
  LockLoaderLock lock = nullptr;
  UnlockLoaderLock unlock = nullptr;
};
const LoaderLock NtLoaderLock;

// One more reference to this library, for a worker; false when the loader stayed busy.
bool ReferenceThisLibrary(HMODULE* library, LPCWSTR addressInside) {
  if (NtLoaderLock.lock == nullptr || NtLoaderLock.unlock == nullptr) {
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, addressInside, library);
  }
  for (DWORD waited = 0;; ++waited) {
    ULONG disposition = 0;
    ULONG_PTR cookie = 0;
    if (NtLoaderLock.lock(kTryOnly, &disposition, &cookie) >= 0 && disposition == kAcquired) {
      // Taken again inside, by the same thread: no waiting.
      const bool referenced =
          GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, addressInside, library);
      NtLoaderLock.unlock(0, cookie);
      return referenced;
    }
    if (waited == kLoaderLockPatienceMs) return false;
    Sleep(1);
  }
}

// The newest worker's thread, for an exiting process to wait on; the next worker's replaces it.
std::atomic<HANDLE> NewestWorker{nullptr};

void KeepAsNewestWorker(HANDLE thread) {
  HANDLE copy = nullptr;
  // Querying the thread's id needs the second right.
  if (!DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy,
                       SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
    copy = nullptr;
  }
  if (HANDLE older = NewestWorker.exchange(copy)) CloseHandle(older);
}

// Gives the handle back when the library is unloaded.
struct NewestWorkerRelease {
  NewestWorkerRelease() = default;
  NewestWorkerRelease(const NewestWorkerRelease&) = delete;
  NewestWorkerRelease& operator=(const NewestWorkerRelease&) = delete;
  ~NewestWorkerRelease() {
    if (HANDLE thread = NewestWorker.exchange(nullptr)) CloseHandle(thread);
  }
} NewestWorkerReleaseAtUnload;

struct StartRequest {
  void (*body)(void*);
  void* arg;
  HMODULE library;  // this library, referenced once more for this worker
};

// Runs the library's own thread-local storage callbacks for the calling thread as the loader
// would when the thread detaches from it; they hold the runtime's per-thread clean-up. Called
// again by the loader (the library stayed), they find nothing left to do.
void DetachThreadFromLibrary(HMODULE library) {
  const auto* directory = reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(
      ImageDirectory(library, IMAGE_DIRECTORY_ENTRY_TLS));
  if (directory == nullptr) return;
  for (auto* callback = reinterpret_cast<PIMAGE_TLS_CALLBACK*>(directory->AddressOfCallBacks);
       callback != nullptr && *callback != nullptr; ++callback) {
    (*callback)(library, DLL_THREAD_DETACH, nullptr);
  }
}

#if defined(__GLIBCXX__)
// The slots a thread has values in: winpthreads' own slot is the one its clean-up empties.
constexpr DWORD kTlsSlots = 1088;  // TLS_MINIMUM_AVAILABLE plus the expansion slots
#endif

}  // namespace

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this module, as the linker names it

#if defined(__GLIBCXX__)
}  // namespace platform
namespace __gnu_cxx {
void __freeres() noexcept;  // libstdc++'s own, for leak checkers: frees its emergency memory
}
namespace platform {
#endif

void ReleaseRuntimeState(bool libraryUnloading) noexcept {
  auto* const library = reinterpret_cast<HMODULE>(&__ImageBase);
  if (library == GetModuleHandleW(nullptr)) return;
#if defined(__GLIBCXX__)
  static void* slotValues[kTlsSlots];  // the unload runs on one thread at a time
  if (libraryUnloading) {
    for (DWORD slot = 0; slot < kTlsSlots; ++slot)
      slotValues[slot] = TlsGetValue(slot);
  }
#endif
  DetachThreadFromLibrary(library);
  if (!libraryUnloading) return;
#if defined(__GLIBCXX__)
  for (DWORD slot = 0; slot < kTlsSlots; ++slot) {
    if (slotValues[slot] != nullptr && TlsGetValue(slot) == nullptr) TlsFree(slot);
  }
  __gnu_cxx::__freeres();
#endif
}

namespace {

// A plain Win32 thread, not std::thread: the worker ends in FreeLibraryAndExitThread, which skips
// whatever exit path a thread library has, so a thread library's per-thread state would never
// be freed. Nothing here is allocated per thread but the request, freed as the thread starts.
// The same holds for a Visual Studio build: CreateThread, unlike the C runtime's
// _beginthreadex, takes no module reference of its own that the thread would have to drop, and
// the C runtime frees its per-thread data on the thread-detach notification of ExitThread.
DWORD WINAPI WorkerMain(LPVOID parameter) {
  const StartRequest start = *static_cast<StartRequest*>(parameter);
  delete static_cast<StartRequest*>(parameter);
  InSaveOnThisThread = true;
  start.body(start.arg);
  InSaveOnThisThread = false;
  WorkersInSave.fetch_sub(1);
  ReleaseRuntimeState(false);
  // Drops this worker's reference and ends the thread in one step, so an unload that came
  // while the save ran happens only once the thread no longer runs the library's code.
  FreeLibraryAndExitThread(start.library, 0);
}

}  // namespace

// The reference is taken before the thread exists: while a worker holds one, this library's
// unload cannot begin, so a worker never waits for the loader's lock that the unload holds.
bool WorkerThread::Start(void (*body)(void*), void* arg) noexcept {
  HMODULE library = nullptr;
  if (!ReferenceThisLibrary(&library, reinterpret_cast<LPCWSTR>(&WorkerMain))) return false;
  auto* request = new (std::nothrow) StartRequest{body, arg, library};
  WorkersInSave.fetch_add(1);
  // Suspended until Detach: it can be pinned before it runs, and cannot end before that.
  HANDLE thread = request != nullptr
                      ? CreateThread(nullptr, 0, &WorkerMain, request, CREATE_SUSPENDED, nullptr)
                      : nullptr;
  if (thread == nullptr) {
    WorkersInSave.fetch_sub(1);
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
  ResumeThread(reinterpret_cast<HANDLE>(native_));
  CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = 0;
}

// A worker past its save holds only a module reference, which keeps the library loaded; at
// process termination the other threads are already gone. What an unload may wait for is a
// worker still in its save, other than the calling thread.
bool AnyWorkerInLibrary() noexcept {
  return WorkersInSave.load() > (InSaveOnThisThread ? 1 : 0);
}

bool WaitForWorkersToLeave(std::chrono::milliseconds limit) noexcept {
  return WaitUntil(std::chrono::steady_clock::now() + limit, [] { return !AnyWorkerInLibrary(); });
}

bool WaitForNewestWorkerToEnd(std::chrono::milliseconds limit) noexcept {
  HANDLE thread = NewestWorker.exchange(nullptr);
  if (thread == nullptr) return true;
  bool ended = true;
  if (GetThreadId(thread) != GetCurrentThreadId()) {
    ended = WaitForSingleObject(thread, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
  }
  CloseHandle(thread);
  return ended;
}

// Windows ends a thread without unwinding it.
void RethrowThreadCancellation() {}

// Windows has no fork().
void WatchForks(void (*)()) noexcept {}

}  // namespace platform
