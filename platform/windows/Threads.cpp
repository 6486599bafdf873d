#include "platform/Threads.h"
#include "platform/Wait.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <system_error>

#include "windows/ModuleImage.h"
#include "windows/OutlivingCode.h"

namespace tamsel::platform {
namespace {

// Workers in their save, and workers started that have not yet entered the library's code.
std::atomic<int> WorkersInSave{0};
std::atomic<int> WorkersStarting{0};
thread_local bool InSaveOnThisThread = false;

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

// The process's one save slot, shared by every copy of the library loaded in it: a semaphore
// of one, named after the process. Made at the first request; the outliving code keeps a
// handle of its own, so that the slot outlives a copy whose worker has still to give it back.
std::atomic<HANDLE> SaveSlot{nullptr};

HANDLE ProcessSaveSlot() {
  if (HANDLE slot = SaveSlot.load()) return slot;
  const std::wstring name = L"Local\\TamselSave-" + std::to_wstring(GetCurrentProcessId());
  HANDLE made = CreateSemaphoreW(nullptr, 1, 1, name.c_str());
  if (made == nullptr) return nullptr;
  HANDLE none = nullptr;
  if (SaveSlot.compare_exchange_strong(none, made)) return made;
  CloseHandle(made);
  return none;
}

// At the unload: a worker that has not entered the library yet never will (its start leads
// to the server's routine); the handles go, and the outliving code unless such a worker has
// still to come through it.
struct ReleaseAtUnload {
  ReleaseAtUnload() = default;
  ReleaseAtUnload(const ReleaseAtUnload&) = delete;
  ReleaseAtUnload& operator=(const ReleaseAtUnload&) = delete;
  ~ReleaseAtUnload() {
    LeadToOtherwise(OutlivingEntry::WorkerStart);
    if (HANDLE thread = NewestWorker.exchange(nullptr)) CloseHandle(thread);
    if (HANDLE slot = SaveSlot.exchange(nullptr)) CloseHandle(slot);
    ReleaseOutlivingCode(WorkersStarting.load() > 0);
  }
} ReleasedAtUnload;

// Read by outliving code when the library is gone: the first two members, in this order.
struct StartRequest {
  void (*withoutLibrary)(void*);
  void* arg;
  void (*body)(void*);
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

#if defined(__GLIBCXX__)
}  // namespace tamsel::platform
namespace __gnu_cxx {
// NOLINTNEXTLINE(bugprone-reserved-identifier): libstdc++'s own name for it.
void __freeres() noexcept;  // libstdc++'s own, for leak checkers: frees its emergency memory
}  // namespace __gnu_cxx
namespace tamsel::platform {
#endif

void ReleaseRuntimeState(bool libraryUnloading) noexcept {
  auto* const library = ThisModule();
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
// Reached through the outliving start, with a reference to the library taken for this thread;
// only while the library that started it is loaded (the unload leads the start elsewhere).
DWORD WINAPI WorkerMain(LPVOID parameter) {
  auto* const library = ThisModule();
  const StartRequest start = *static_cast<StartRequest*>(parameter);
  delete static_cast<StartRequest*>(parameter);
  WorkersInSave.fetch_add(1);
  WorkersStarting.fetch_sub(1);
  InSaveOnThisThread = true;
  start.body(start.arg);
  InSaveOnThisThread = false;
  WorkersInSave.fetch_sub(1);
  ReleaseRuntimeState(false);
  // Drops this worker's reference and ends the thread in one step, so an unload that came
  // while the save ran happens only once the thread no longer runs the library's code.
  FreeLibraryAndExitThread(library, 0);
}

// The calling thread's stack reservation: from the base of the region that holds its stack to
// the stack's top.
SIZE_T CallingThreadStackReserve() {
  MEMORY_BASIC_INFORMATION region{};
  const auto* top = static_cast<const char*>(reinterpret_cast<NT_TIB*>(NtCurrentTeb())->StackBase);
  if (VirtualQuery(&region, &region, sizeof(region)) == 0 || region.AllocationBase == nullptr)
    return 0;
  return static_cast<SIZE_T>(top - static_cast<const char*>(region.AllocationBase));
}

// What the program's image asks for new threads.
SIZE_T DefaultStackReserve() {
  const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew)
      ->OptionalHeader.SizeOfStackReserve;
}

}  // namespace

// The thread starts in outliving code, which takes its reference to the library on the new
// thread: the server's thread never waits for the loader's lock, which another thread loading
// a library, or this library's own unload, may hold. A worker that finds the library gone runs
// `withoutLibrary` there instead.
bool WorkerThread::Start(void (*body)(void*), void* arg, void (*withoutLibrary)(void*)) noexcept {
  if (!MakeOutlivingCode()) return false;
  static const bool targetsSet = [] {
    SetOutlivingTargets(OutlivingEntry::WorkerStart, reinterpret_cast<void*>(&WorkerMain),
                        CallThenExitThreadAddress());
    if (HANDLE slot = ProcessSaveSlot()) ReleaseAtThreadEnd(slot);
    return true;
  }();
  (void)targetsSet;
  auto* request = new (std::nothrow) StartRequest{withoutLibrary, arg, body};
  if (request == nullptr) return false;
  WorkersStarting.fetch_add(1);
  // Suspended until Detach: it can be pinned before it runs, and cannot end before that.
  const auto entry =
      reinterpret_cast<LPTHREAD_START_ROUTINE>(OutlivingEntryAddress(OutlivingEntry::WorkerStart));
  // 0: the program's default.
  const SIZE_T callers = std::min<SIZE_T>(CallingThreadStackReserve(), kMaxWorkerStackBytes);
  const SIZE_T reserve = callers > DefaultStackReserve() ? callers : 0;
  HANDLE thread = CreateThread(nullptr, reserve, entry, request,
                               CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    WorkersStarting.fetch_sub(1);
    delete request;
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

// A worker holding its reference keeps the unload from beginning; one without it cannot take it
// now: the unload holds the loader's lock until the library is gone. Code in a program is never
// unloaded, and its workers all come.
bool WorkerLeftOutOfUnload() noexcept {
  if (ThisModule() == GetModuleHandleW(nullptr)) return false;
  return WorkersStarting.load() > 0;
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

bool ClaimProcessSaveSlot() noexcept {
  HANDLE slot = ProcessSaveSlot();
  // Without a slot, each copy's own save flag is all there is.
  return slot == nullptr || WaitForSingleObject(slot, 0) == WAIT_OBJECT_0;
}

void ReleaseProcessSaveSlot() noexcept {
  if (HANDLE slot = SaveSlot.load()) ReleaseSemaphore(slot, 1, nullptr);
}

// Windows ends a thread without unwinding it.
void RethrowThreadCancellation() {}

// Windows has no fork().
void WatchForks(void (*)()) noexcept {}

}  // namespace tamsel::platform
