#include "platform/Threads.h"
#include "platform/Wait.h"

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "posix/ThreadIdentity.h"

namespace tamsel::platform {
namespace {

// Constant-initialised and never freed: the unload reads these while the library is being
// torn down, and a heap block held here would be lost when the library goes away.
std::mutex WorkersMutex;
int WorkersNotYetStarted = 0;
// Workers that may still be inside the library; an id of 0 marks a free slot. At most one
// worker runs at a time, so only the last few, still on their way out, are ever here.
std::array<ThreadIdentity, 32> Workers{};
std::atomic<void (*)()> ForkedChildHandler{nullptr};

// Caller holds WorkersMutex. Returns whether a tracked worker other than the thread `self`
// is still there.
bool ForgetFinishedWorkers(pid_t self = 0) {
  bool anyLeft = false;
  for (ThreadIdentity& worker : Workers) {
    if (worker.id != 0 && !StillRunning(worker)) worker = ThreadIdentity{};
    anyLeft = anyLeft || (worker.id != 0 && worker.id != self);
  }
  return anyLeft;
}

// Shared by the starting thread, until it lets the worker run, and the worker.
struct StartRequest {
  StartRequest(void (*startBody)(void*), void* startArg) : body(startBody), arg(startArg) {}
  void (*const body)(void*);
  void* const arg;
  std::mutex mutex;
  std::condition_variable released;
  bool mayRun = false;
  std::atomic<int> owners{2};
};

void DropOwner(StartRequest* request) {
  if (request->owners.fetch_sub(1) == 1) delete request;
}

// The thread stays tracked after this returns: it runs the library's code until it is gone.
void* WorkerMain(void* parameter) {
  auto* request = static_cast<StartRequest*>(parameter);
  {
    std::unique_lock<std::mutex> lock(request->mutex);
    request->released.wait(lock, [request] { return request->mayRun; });
  }
  void (*const body)(void*) = request->body;
  void* const arg = request->arg;
  DropOwner(request);
  {
    std::lock_guard<std::mutex> lock(WorkersMutex);
    ForgetFinishedWorkers();
    const auto freeSlot = std::find_if(Workers.begin(), Workers.end(),
                                       [](const ThreadIdentity& slot) { return slot.id == 0; });
    if (freeSlot != Workers.end()) *freeSlot = CurrentThreadIdentity();
    --WorkersNotYetStarted;
  }
  body(arg);
  return nullptr;
}

pthread_t NativeThread(std::uintptr_t native) {
  return static_cast<pthread_t>(native);
}

// The calling thread's stack size (for the main thread, the limit it may grow to), or 0 where
// the system does not say.
std::size_t CallingThreadStackSize() {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  std::size_t size = 0;
  if (pthread_attr_getstacksize(&attributes, &size) != 0) size = 0;
  pthread_attr_destroy(&attributes);
  return size;
}

// Starts `request`'s thread with at least the calling thread's stack, so that a save that fits
// on the server's thread fits on its own too; with the system's default should that size not be
// had.
int CreateWorker(pthread_t& thread, StartRequest* request) {
  pthread_attr_t attributes;
  std::size_t defaultSize = 0;
  if (pthread_attr_init(&attributes) == 0) {
    const std::size_t wanted = std::min(CallingThreadStackSize(), kMaxWorkerStackBytes);
    if (pthread_attr_getstacksize(&attributes, &defaultSize) == 0 && wanted > defaultSize &&
        pthread_attr_setstacksize(&attributes, wanted) == 0 &&
        pthread_create(&thread, &attributes, &WorkerMain, request) == 0) {
      pthread_attr_destroy(&attributes);
      return 0;
    }
    pthread_attr_destroy(&attributes);
  }
  return pthread_create(&thread, nullptr, &WorkerMain, request);
}

}  // namespace

// The unload waits for every worker started, so none ever finds the library gone.
bool WorkerThread::Start(void (*body)(void*), void* arg, void (*)(void*)) noexcept {
  auto* request = new (std::nothrow) StartRequest(body, arg);
  if (request == nullptr) return false;
  {
    // Counted before the thread exists, so an unload never misses a worker on its way in.
    std::lock_guard<std::mutex> lock(WorkersMutex);
    ++WorkersNotYetStarted;
  }
  pthread_t thread{};
  if (CreateWorker(thread, request) != 0) {
    delete request;
    std::lock_guard<std::mutex> lock(WorkersMutex);
    --WorkersNotYetStarted;
    return false;
  }
  native_ = static_cast<std::uintptr_t>(thread);
  held_ = request;
  return true;
}

int WorkerThread::SetAffinityMask(std::uint64_t mask) noexcept {
  if (native_ == 0) return ESRCH;
  cpu_set_t processors;
  CPU_ZERO(&processors);
  for (int bit = 0; bit < 64; ++bit) {
    if ((mask >> bit) & 1U) CPU_SET(bit, &processors);
  }
  return pthread_setaffinity_np(NativeThread(native_), sizeof(processors), &processors);
}

std::string SystemErrorText(int code) {
  return std::generic_category().message(code);
}

void WorkerThread::Detach() noexcept {
  if (native_ == 0) return;
  auto* request = static_cast<StartRequest*>(held_);
  {
    std::lock_guard<std::mutex> lock(request->mutex);
    request->mayRun = true;
  }
  request->released.notify_one();
  DropOwner(request);
  pthread_detach(NativeThread(native_));
  native_ = 0;
  held_ = nullptr;
}

bool AnyWorkerInLibrary() noexcept {
  std::lock_guard<std::mutex> lock(WorkersMutex);
  const bool trackedWorkerLeft = ForgetFinishedWorkers(CurrentThreadIdentity().id);
  return WorkersNotYetStarted > 0 || trackedWorkerLeft;
}

bool WaitForWorkersToLeave(std::chrono::milliseconds limit) noexcept {
  return WaitUntil(std::chrono::steady_clock::now() + limit, [] { return !AnyWorkerInLibrary(); });
}

bool ClaimProcessSaveSlot() noexcept {
  return true;
}

void ReleaseProcessSaveSlot() noexcept {}

bool WorkerLeftOutOfUnload() noexcept {
  return false;
}

// WaitForWorkersToLeave already waits until the workers' threads are gone.
bool WaitForNewestWorkerToEnd(std::chrono::milliseconds) noexcept {
  return true;
}

namespace {

// Nothing else holds the bookkeeping's lock across a fork, so the child finds it free.
void BeforeFork() {
  WorkersMutex.lock();
}

void AfterForkInParent() {
  WorkersMutex.unlock();
}

void AfterForkInChild() {
  WorkersMutex.unlock();
  Workers.fill(ThreadIdentity{});
  WorkersNotYetStarted = 0;
  if (void (*handler)() = ForkedChildHandler.load()) handler();
}

}  // namespace

// The C++ runtime is a library of its own, which frees what it keeps for a thread as it ends.
void ReleaseRuntimeState(bool) noexcept {}

void RethrowThreadCancellation() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
}

void WatchForks(void (*inChild)()) noexcept {
  // Registered once: the handlers stay for the library's life, and glibc drops them with the
  // library at dlclose.
  if (ForkedChildHandler.exchange(inChild) == nullptr) {
    pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
  }
}

}  // namespace tamsel::platform
