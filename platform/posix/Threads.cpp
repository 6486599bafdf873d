#include "platform/Threads.h"

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <mutex>
#include <vector>

namespace platform {
namespace {

// ---- Fault guard ----------------------------------------------------------------------------

constexpr std::array<int, 4> kGuardedSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
std::array<struct sigaction, kGuardedSignals.size()> gPreviousActions{};
std::once_flag gHandlersInstalled;

// initial-exec: the handler must not allocate thread-local storage on first touch.
__attribute__((tls_model("initial-exec"))) thread_local sigjmp_buf* tActiveGuard = nullptr;

std::size_t SignalIndex(int signal) {
  return static_cast<std::size_t>(
      std::find(kGuardedSignals.begin(), kGuardedSignals.end(), signal) - kGuardedSignals.begin());
}

// A fault outside any guard belongs to whoever handled it before us.
void ForwardToPreviousHandler(int signal, siginfo_t* info, void* context) {
  const struct sigaction& previous = gPreviousActions[SignalIndex(signal)];
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  const bool sentByProcess = info != nullptr && info->si_code <= 0;
  if (previous.sa_handler == SIG_IGN && sentByProcess) return;
  // Default action: put it back; a real fault repeats on return, a sent signal is raised again.
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signal, &defaultAction, nullptr);
  if (sentByProcess) raise(signal);
}

void OnFault(int signal, siginfo_t* info, void* context) {
  if (sigjmp_buf* guard = tActiveGuard) {
    tActiveGuard = nullptr;
    siglongjmp(*guard, signal);
  }
  ForwardToPreviousHandler(signal, info, context);
}

void InstallFaultHandlers() {
  struct sigaction action {};
  action.sa_sigaction = &OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kGuardedSignals.size(); ++i) {
    sigaction(kGuardedSignals[i], &action, &gPreviousActions[i]);
  }
}

// A stack overflow leaves no stack for the handler, so a guarded call runs with an alternate
// signal stack. Each thread has its own; one the thread already has is kept.
class AlternateSignalStack {
 public:
  AlternateSignalStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return;
    memory_.resize(kSize);
    stack_t ours{};
    ours.ss_sp = memory_.data();
    ours.ss_size = memory_.size();
    installed_ = sigaltstack(&ours, nullptr) == 0;
  }
  ~AlternateSignalStack() {
    if (!installed_) return;
    stack_t disabled{};
    disabled.ss_flags = SS_DISABLE;
    sigaltstack(&disabled, nullptr);
  }
  AlternateSignalStack(const AlternateSignalStack&) = delete;
  AlternateSignalStack& operator=(const AlternateSignalStack&) = delete;

 private:
  static constexpr std::size_t kSize = std::size_t{64} * 1024;
  std::vector<char> memory_;
  bool installed_ = false;
};

// Kept out of line and free of objects with destructors: a fault leaves it by siglongjmp.
// A C++ exception passes through to RunGuarded.
__attribute__((noinline)) bool CallUnderSignalGuard(void (*fn)(void*), void* arg) {
  sigjmp_buf guard;
  sigjmp_buf* const enclosing = tActiveGuard;
  if (sigsetjmp(guard, 1) != 0) {
    tActiveGuard = enclosing;
    return false;
  }
  tActiveGuard = &guard;
  try {
    fn(arg);
  } catch (...) {
    tActiveGuard = enclosing;
    throw;
  }
  tActiveGuard = enclosing;
  return true;
}

// ---- Workers still inside the library -------------------------------------------------------

// Constant-initialised and never freed: the unload reads these while the library is being
// torn down, and a heap block held here would be lost when the library goes away.
std::mutex gWorkersMutex;
int gWorkersNotYetStarted = 0;
// Kernel ids of workers that may still be inside the library; 0 marks a free slot. At most one
// worker runs at a time, so only the last few, still on their way out, are ever here.
std::array<pid_t, 32> gWorkerThreadIds{};

pid_t CurrentThreadId() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

bool ThreadIsGone(pid_t id) {
  return syscall(SYS_tgkill, getpid(), id, 0) != 0 && errno == ESRCH;
}

// Caller holds gWorkersMutex. Returns whether a tracked worker is still there.
bool ForgetFinishedWorkers() {
  bool anyLeft = false;
  for (pid_t& id : gWorkerThreadIds) {
    if (id != 0 && ThreadIsGone(id)) id = 0;
    anyLeft = anyLeft || id != 0;
  }
  return anyLeft;
}

}  // namespace

bool RunGuarded(void (*fn)(void*), void* arg) {
  std::call_once(gHandlersInstalled, InstallFaultHandlers);
  AlternateSignalStack alternateStack;
  try {
    return CallUnderSignalGuard(fn, arg);
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must go on unwinding
  } catch (...) {
    return false;
  }
}

void SetThreadAffinityMask(std::thread& thread, std::uint64_t mask) noexcept {
  cpu_set_t processors;
  CPU_ZERO(&processors);
  for (int bit = 0; bit < 64; ++bit) {
    if ((mask >> bit) & 1U) CPU_SET(bit, &processors);
  }
  pthread_setaffinity_np(thread.native_handle(), sizeof(processors), &processors);
}

std::uint64_t CurrentThreadAffinity() noexcept {
  cpu_set_t processors;
  CPU_ZERO(&processors);
  if (pthread_getaffinity_np(pthread_self(), sizeof(processors), &processors) != 0) return 0;
  std::uint64_t mask = 0;
  for (int bit = 0; bit < 64; ++bit) {
    if (CPU_ISSET(bit, &processors)) mask |= std::uint64_t{1} << bit;
  }
  return mask;
}

void HoldLibraryForWorker() noexcept {
  std::lock_guard<std::mutex> lock(gWorkersMutex);
  ++gWorkersNotYetStarted;
}

void ReleaseLibraryHold() noexcept {
  std::lock_guard<std::mutex> lock(gWorkersMutex);
  --gWorkersNotYetStarted;
}

void WorkerThreadStarted() noexcept {
  std::lock_guard<std::mutex> lock(gWorkersMutex);
  ForgetFinishedWorkers();
  const auto freeSlot = std::find(gWorkerThreadIds.begin(), gWorkerThreadIds.end(), 0);
  if (freeSlot != gWorkerThreadIds.end()) *freeSlot = CurrentThreadId();
  --gWorkersNotYetStarted;
}

void WorkerThreadFinished() noexcept {}

bool AnyWorkerInLibrary() noexcept {
  std::lock_guard<std::mutex> lock(gWorkersMutex);
  const bool trackedWorkerLeft = ForgetFinishedWorkers();
  return gWorkersNotYetStarted > 0 || trackedWorkerLeft;
}

bool WaitForWorkersToLeave(std::chrono::milliseconds limit) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (AnyWorkerInLibrary()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace platform
