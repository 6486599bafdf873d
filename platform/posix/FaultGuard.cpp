#include "FaultReportParts.h"

#include <cxxabi.h>
#include <errno.h>  // program_invocation_name
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

// Where it can be had: tells valgrind that the alternate signal stack is a stack of its own (a
// no-op outside valgrind).
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define TAMSEL_STACK_REGISTER(start, end) VALGRIND_STACK_REGISTER(start, end)
#define TAMSEL_STACK_DEREGISTER(id) VALGRIND_STACK_DEREGISTER(id)
#else
#define TAMSEL_STACK_REGISTER(start, end) 0U
#define TAMSEL_STACK_DEREGISTER(id) static_cast<void>(id)
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

namespace tamsel::platform {
namespace {

constexpr std::array<int, 4> kGuardedSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
// How far from the stack pointer a faulting access still counts as the stack running out.
constexpr std::intptr_t kStackOverflowReach = 65536;
// Read by the handler, so plain data. The handlers to forward a fault outside a save to: what
// was current when ours last went back in (a component installed since, which will in turn
// call whatever it found, ours). And what the process had before ours first went in: where a
// fault goes on once it has passed through the components installed after ours.
std::array<struct sigaction, kGuardedSignals.size()> PreviousActions{};
std::array<struct sigaction, kGuardedSignals.size()> OriginalActions{};
// Whether PreviousActions holds such a component rather than the original handler.
std::array<bool, kGuardedSignals.size()> LaterComponent{};
std::mutex HandlersMutex;
std::atomic<bool> HandlersInstalled{false};

// How much of the guard's own frames is kept to compare with at a fault.
constexpr std::size_t kGuardFramesKept = 2048;

// The guarded call in progress on a thread: where a fault jumps back to, and what it records.
// Never on the guarded thread's stack, which the guarded call may have overwritten: made on the
// heap for each guarded call, and reached by the handler through the initial-exec pointer below.
struct ActiveGuard {
  sigjmp_buf jump;
  ActiveGuard* enclosing;
  int signal;
  void* address;
  std::uintptr_t instruction;
  GuardOutcome::Access access;
  bool stackOverflow;
  bool generalProtection;
  bool sent;
  pid_t sender;
  std::array<std::uintptr_t, GuardOutcome::kMaxFrames> frames;
  std::size_t frameCount;
  // While the handler walks the stack: where a fault in the walk itself jumps back to.
  sigjmp_buf walkJump;
  bool walking;
  // The frames that the jump back returns through (from the guarded call's caller up to the
  // return address of RunGuarded), as they were when the call began: the first and the last
  // kGuardFramesKept / 2 bytes of them when they are larger.
  std::uintptr_t guardFramesLow;
  std::size_t guardFramesSize;
  std::array<unsigned char, kGuardFramesKept> guardFrames;
};

// initial-exec: the handler must not allocate thread-local storage on first touch.
__attribute__((tls_model("initial-exec"))) thread_local ActiveGuard* ActiveGuardOnThisThread =
    nullptr;

// Crash-time code: runs in the signal handler; allocates nothing, takes no lock, loads nothing.
std::size_t SignalIndex(int signal) {
  return static_cast<std::size_t>(
      std::find(kGuardedSignals.begin(), kGuardedSignals.end(), signal) - kGuardedSignals.begin());
}

// The handlers this thread is forwarding the fault in hand to, outermost first, each with the
// frame that called it. Handlers that chain to what they found can form a ring (a reporter
// installed before the guard that installs itself again after it finds the guard's); the ring
// is cut where a handler would be called a second time for one fault. A handler left by
// siglongjmp leaves its entry behind: entries whose frame is not below the current one are gone.
struct ForwardingChain {
  std::array<std::uintptr_t, 8> handlers;
  std::array<std::uintptr_t, 8> frames;
  std::size_t depth;
};
__attribute__((tls_model("initial-exec"))) thread_local ForwardingChain ForwardingOnThisThread{};

// True when `handler` is already being called for this fault further up this thread's stack;
// otherwise records it, with `frame`, until ForwardingDone.
// Crash-time code: runs in the signal handler; allocates nothing, takes no lock, loads nothing.
bool AlreadyForwardingTo(std::uintptr_t handler, std::uintptr_t frame) {
  ForwardingChain& chain = ForwardingOnThisThread;
  // A live caller's frame lies above this one, and on the same stack.
  constexpr std::uintptr_t kSameStack = std::uintptr_t{1} << 20;
  while (chain.depth > 0 && (chain.frames[chain.depth - 1] <= frame ||
                             chain.frames[chain.depth - 1] - frame > kSameStack)) {
    --chain.depth;
  }
  for (std::size_t i = 0; i < chain.depth; ++i) {
    if (chain.handlers[i] == handler) return true;
  }
  if (chain.depth < chain.handlers.size()) {
    chain.handlers[chain.depth] = handler;
    chain.frames[chain.depth] = frame;
    ++chain.depth;
  }
  return false;
}

// Crash-time code: runs in the signal handler; allocates nothing, takes no lock, loads nothing.
void ForwardingDone(std::uintptr_t frame) {
  ForwardingChain& chain = ForwardingOnThisThread;
  if (chain.depth > 0 && chain.frames[chain.depth - 1] == frame) --chain.depth;
}

// The kernel's answer when no handler takes the signal: a real fault repeats on return and
// ends the process, a sent signal is raised again.
// Crash-time code: runs in the signal handler; allocates nothing, takes no lock, loads nothing.
void ApplyDefaultAction(int signal, bool sentByProcess) {
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signal, &defaultAction, nullptr);
  if (sentByProcess) (void)raise(signal);
}

// A fault outside any guard belongs to whoever handled it before us, delivered as the kernel
// would have delivered it to that handler.
// Crash-time code: runs in the signal handler; allocates nothing, takes no lock, loads nothing.
void ForwardToHandler(struct sigaction& previous, int signal, siginfo_t* info, void* context) {
  const bool sentByProcess = info != nullptr && info->si_code <= 0;
  const bool withInfo = (previous.sa_flags & SA_SIGINFO) != 0;
  const bool ignored = !withInfo && previous.sa_handler == SIG_IGN;
  if (ignored && sentByProcess) return;
  // A fault the process ignores cannot be ignored: the kernel applies the default action.
  if (ignored || (withInfo ? previous.sa_sigaction == nullptr : previous.sa_handler == SIG_DFL)) {
    ApplyDefaultAction(signal, sentByProcess);
    return;
  }
  const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const auto target = withInfo ? reinterpret_cast<std::uintptr_t>(previous.sa_sigaction)
                               : reinterpret_cast<std::uintptr_t>(previous.sa_handler);
  if (AlreadyForwardingTo(target, frame)) {
    ApplyDefaultAction(signal, sentByProcess);
    return;
  }
  const struct sigaction handler = previous;
  if ((handler.sa_flags & SA_RESETHAND) != 0) {
    // Delivered once: from now on the process's answer to this signal is the default one.
    previous = {};
    previous.sa_handler = SIG_DFL;
  }
  // The mask the handler would have run with: the interrupted code's, its own sa_mask, and the
  // signal itself unless it asked for SA_NODEFER.
  sigset_t mask = handler.sa_mask;
  if (context != nullptr) {
    const sigset_t& interrupted = static_cast<const ucontext_t*>(context)->uc_sigmask;
    for (int other = 1; other < NSIG; ++other) {
      if (sigismember(&interrupted, other) == 1) sigaddset(&mask, other);
    }
  }
  if ((handler.sa_flags & SA_NODEFER) == 0) {
    sigaddset(&mask, signal);
  } else {
    sigdelset(&mask, signal);
  }
  sigset_t ours;
  pthread_sigmask(SIG_SETMASK, &mask, &ours);
  if (withInfo) {
    handler.sa_sigaction(signal, info, context);
  } else {
    handler.sa_handler(signal);
  }
  pthread_sigmask(SIG_SETMASK, &ours, nullptr);
  ForwardingDone(frame);
}

// Where the fault happened and, for an invalid access on x86-64, which way it went.
// Crash-time code: runs in the signal handler; allocates nothing, takes no lock, loads nothing.
void RecordFaultContext(ActiveGuard& guard, int signal, siginfo_t* info, void* context) {
  guard.signal = signal;
  guard.address = info != nullptr ? info->si_addr : nullptr;
  guard.instruction = 0;
  guard.access = GuardOutcome::Access::Unknown;
  guard.stackOverflow = false;
  // si_addr is only meaningful for a fault the kernel raised; a sent signal carries the
  // sender's id in its place. A general-protection fault (a non-canonical address, say) names
  // no address either: the kernel gives 0.
  guard.sent = info != nullptr && info->si_code <= 0;
  guard.sender = guard.sent ? info->si_pid : 0;
  guard.generalProtection = signal == SIGSEGV && info != nullptr && info->si_code == SI_KERNEL;
  if (guard.sent || guard.generalProtection) guard.address = nullptr;
  const auto* machine = static_cast<const ucontext_t*>(context);
  if (machine == nullptr) return;
#if defined(__x86_64__)
  guard.instruction = static_cast<std::uintptr_t>(machine->uc_mcontext.gregs[REG_RIP]);
  if (signal == SIGSEGV && !guard.sent && !guard.generalProtection) {
    // An access this close to the stack pointer is the stack running into its guard: a push
    // lands just below it, a function's first store into a new frame just above it.
    const auto stackPointer = static_cast<std::uintptr_t>(machine->uc_mcontext.gregs[REG_RSP]);
    const auto distance =
        static_cast<std::intptr_t>(stackPointer - reinterpret_cast<std::uintptr_t>(guard.address));
    guard.stackOverflow = distance > -kStackOverflowReach && distance < kStackOverflowReach;
    // The page-fault error code: bit 1 a write, bit 4 an instruction fetch.
    const auto error = static_cast<unsigned long long>(machine->uc_mcontext.gregs[REG_ERR]);
    guard.access = (error & 0x10U) != 0  ? GuardOutcome::Access::Execute
                   : (error & 0x2U) != 0 ? GuardOutcome::Access::Write
                                         : GuardOutcome::Access::Read;
  }
#elif defined(__aarch64__)
  guard.instruction = static_cast<std::uintptr_t>(machine->uc_mcontext.pc);
#endif
}

// The walk's state: the unwinder's frames start with the handler's own; the interrupted code's
// start at `from`.
struct StackWalk {
  ActiveGuard* guard;
  std::uintptr_t from;
  bool reached;
};

// Crash-time code: called by the unwinder in the signal handler; allocates nothing, takes no
// lock, loads nothing.
_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* walkAsVoid) {
  StackWalk& walk = *static_cast<StackWalk*>(walkAsVoid);
  ActiveGuard& guard = *walk.guard;
  int beforeInstruction = 0;
  const auto address = static_cast<std::uintptr_t>(_Unwind_GetIPInfo(context, &beforeInstruction));
  if (!walk.reached && address != walk.from) return _URC_NO_REASON;
  walk.reached = true;
  if (address == 0) return _URC_END_OF_STACK;
  guard.frames[guard.frameCount++] = address;
  return guard.frameCount == guard.frames.size() ? _URC_END_OF_STACK : _URC_NO_REASON;
}

// libgcc's lookup of an address's unwind data.
struct UnwindBases {
  void* text;
  void* data;
  void* function;
};
// NOLINTNEXTLINE(bugprone-reserved-identifier): libgcc's own name for it.
extern "C" const void* _Unwind_Find_FDE(void* address, UnwindBases* bases);

// Crash-time code: runs in the signal handler; reads the faulting stack only under the walk's
// jump (RecordStack's), allocates nothing, takes no lock but the unwinder's, loads nothing.
// An instruction without unwind data (address 0 after a call through a null pointer, a wild
// jump) is taken as a leaf that has not yet touched the stack: its caller's return address is
// the word at the stack pointer. The walk then goes on from there, through the interrupted
// context with that return made, and the context is put back afterwards.
void WalkFromInterruptedContext(ActiveGuard& guard, void* context) {
  StackWalk walk{&guard, guard.instruction, false};
#if defined(__x86_64__)
  auto* machine = static_cast<ucontext_t*>(context);
  UnwindBases bases{};
  if (machine == nullptr ||
      _Unwind_Find_FDE(reinterpret_cast<void*>(guard.instruction), &bases) != nullptr) {
    _Unwind_Backtrace(&CollectFrame, &walk);
    return;
  }
  guard.frames[guard.frameCount++] = guard.instruction;
  greg_t& instruction = machine->uc_mcontext.gregs[REG_RIP];
  greg_t& stackPointer = machine->uc_mcontext.gregs[REG_RSP];
  const greg_t savedInstruction = instruction;
  const greg_t savedStackPointer = stackPointer;
  walk.from = *reinterpret_cast<const std::uintptr_t*>(stackPointer);
  instruction = static_cast<greg_t>(walk.from);
  stackPointer += static_cast<greg_t>(sizeof(std::uintptr_t));
  _Unwind_Backtrace(&CollectFrame, &walk);
  instruction = savedInstruction;
  stackPointer = savedStackPointer;
#else
  (void)context;
  _Unwind_Backtrace(&CollectFrame, &walk);
#endif
}

// Crash-time code: runs in the signal handler; as WalkFromInterruptedContext.
// A stack the save has overwritten can fault the walk too: the guarded signals are let in
// while it runs, and such a fault ends the walk with what it had found.
void RecordStack(ActiveGuard& guard, void* context) {
  guard.frameCount = 0;
  guard.walking = true;
  if (sigsetjmp(guard.walkJump, 1) == 0) {
    sigset_t faults;
    sigemptyset(&faults);
    for (const int signal : kGuardedSignals)
      sigaddset(&faults, signal);
    pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
    WalkFromInterruptedContext(guard, context);
  }
  guard.walking = false;
  if (guard.frameCount == 0 && guard.instruction != 0) {
    guard.frames[guard.frameCount++] = guard.instruction;
  }
}

// Crash-time code: runs in the signal handler; reads only memory the thread has had since the
// guarded call began; allocates nothing, takes no lock, loads nothing.
// Whether the frames the jump back would return through are as they were: a save that
// overwrote its stack as far as the guard's frames leaves no safe way back.
__attribute__((noinline, no_sanitize("address"))) bool GuardFramesIntact(const ActiveGuard& guard) {
  bool intact = true;
  ForEachKeptByte<kGuardFramesKept>(guard.guardFramesLow, guard.guardFramesSize,
                                    [&](std::size_t at, unsigned char byte) {
                                      intact = intact && guard.guardFrames[at] == byte;
                                    });
  return intact;
}

bool IsOurHandler(const struct sigaction& action);
void ForwardOutsideGuard(int signal, siginfo_t* info, void* context);

// The signal handler. Crash-time code: it reads its state from per-thread memory made before
// the guarded call began, never from the faulting stack (but for the stack walk, which a fault
// of its own ends); allocates nothing and loads nothing.
void OnFault(int signal, siginfo_t* info, void* context) {
  if (ActiveGuard* guard = ActiveGuardOnThisThread) {
    if (guard->walking) siglongjmp(guard->walkJump, 1);
    if (GuardFramesIntact(*guard)) {
      RecordFaultContext(*guard, signal, info, context);
      RecordStack(*guard, context);
      ActiveGuardOnThisThread = nullptr;
      siglongjmp(guard->jump, 1);
    }
    // No way back: the fault ends the process as it would have without the guard.
    ActiveGuardOnThisThread = nullptr;
  }
  ForwardOutsideGuard(signal, info, context);
}

// Crash-time code: runs in the signal handler; allocates nothing, takes no lock, loads nothing.
bool IsOurHandler(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == &OnFault;
}

// Crash-time code: runs in the signal handler; allocates nothing, takes no lock, loads nothing.
bool OurHandlerIsCurrent(int signal) {
  struct sigaction current {};
  return sigaction(signal, nullptr, &current) == 0 && IsOurHandler(current);
}

// A fault outside a save goes where it would go had ours not been put back in front of a
// component X installed after it: to X, as the current handler (the kernel's view), and from X
// (calling the handler it found, ours) on down to the handler the process had before ours.
// Never round again: ours entered while it is not the current handler was called by another
// handler, so the fault goes on down; X that puts ours back (the crash reporter's "restore what
// I found, and return") has left the chain. X that handles the fault and returns, or jumps
// out of it, stays current; the next save puts ours in front again.
// Crash-time code: runs in the signal handler; allocates nothing, takes no lock, loads nothing.
void ForwardOutsideGuard(int signal, siginfo_t* info, void* context) {
  const std::size_t index = SignalIndex(signal);
  if (!OurHandlerIsCurrent(signal)) {
    ForwardToHandler(OriginalActions[index], signal, info, context);
    return;
  }
  const bool toLaterComponent = LaterComponent[index];
  struct sigaction& previous = PreviousActions[index];
  if (toLaterComponent) {
    struct sigaction asDelivered = previous;
    if ((previous.sa_flags & SA_RESETHAND) != 0) {
      asDelivered = {};
      asDelivered.sa_handler = SIG_DFL;
    }
    sigaction(signal, &asDelivered, nullptr);
  }
  ForwardToHandler(previous, signal, info, context);
  if (toLaterComponent && OurHandlerIsCurrent(signal)) {
    previous = OriginalActions[index];
    LaterComponent[index] = false;
  }
}

// Puts this library's handler in place for every guarded signal where it is not. Whatever was
// there is recorded as the handler to forward to: a component that installed its own handler
// since the last guarded call, without chaining, gets every fault outside a save, and the save's
// faults stay the guard's.
void InstallFaultHandlers() {
  std::lock_guard<std::mutex> lock(HandlersMutex);
  struct sigaction action {};
  action.sa_sigaction = &OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kGuardedSignals.size(); ++i) {
    struct sigaction current {};
    if (sigaction(kGuardedSignals[i], nullptr, &current) != 0 || IsOurHandler(current)) continue;
    // Recorded before ours goes in: a fault in between must find it.
    const bool reinstalling = HandlersInstalled.load(std::memory_order_relaxed);
    if (!reinstalling) OriginalActions[i] = current;
    PreviousActions[i] = current;
    LaterComponent[i] = reinstalling;
    sigaction(kGuardedSignals[i], &action, nullptr);
  }
  HandlersInstalled.store(true, std::memory_order_release);
}

// A stack overflow leaves no stack for the handler, so a guarded call runs with an alternate
// signal stack. Each thread has its own; one the thread already has is kept. Below it lies a
// page that cannot be touched: a handler that runs past the stack faults instead of writing
// over whatever memory lies beneath. From the heap, not a mapping of its own: a mapping can
// land beside the thread's stack, where valgrind takes the jump back from it for the stack
// growing and forgets what the frames in between held.
class AlternateSignalStack {
 public:
  AlternateSignalStack() : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return;
    memory_ = static_cast<char*>(std::aligned_alloc(page_, page_ + kSize));
    if (memory_ == nullptr) return;
    guarded_ = mprotect(memory_, page_, PROT_NONE) == 0;
    stack_t ours{};
    ours.ss_sp = memory_ + page_;
    ours.ss_size = kSize;
    installed_ = guarded_ && sigaltstack(&ours, nullptr) == 0;
    // Else valgrind may take the jump back from it for the thread's stack growing, and forget
    // what the frames in between held.
    if (installed_) stackId_ = TAMSEL_STACK_REGISTER(memory_ + page_, memory_ + page_ + kSize);
  }
  ~AlternateSignalStack() {
    if (installed_) {
      TAMSEL_STACK_DEREGISTER(stackId_);
      stack_t disabled{};
      disabled.ss_flags = SS_DISABLE;
      sigaltstack(&disabled, nullptr);
    }
    // The allocator writes into the block again once it is free.
    if (guarded_) mprotect(memory_, page_, PROT_READ | PROT_WRITE);
    std::free(memory_);
  }
  AlternateSignalStack(const AlternateSignalStack&) = delete;
  AlternateSignalStack& operator=(const AlternateSignalStack&) = delete;

 private:
  static constexpr std::size_t kSize = std::size_t{64} * 1024;
  const std::size_t page_;
  char* memory_ = nullptr;
  bool guarded_ = false;
  bool installed_ = false;
  unsigned stackId_ = 0;
};

// Keeps a copy of the frames from its caller's up to `top`: called by CallUnderSignalGuard
// right before the guarded call, when its frame holds what it will hold after a jump back.
__attribute__((noinline, no_sanitize("address"))) void KeepGuardFrames(ActiveGuard& guard,
                                                                       std::uintptr_t top) {
  // The caller's stack pointer at the call: above this frame's saved frame pointer and return
  // address.
  const auto low = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) + 2 * sizeof(void*);
  guard.guardFramesLow = low;
  guard.guardFramesSize = top > low ? top - low : 0;
  ForEachKeptByte<kGuardFramesKept>(
      low, guard.guardFramesSize,
      [&guard](std::size_t at, unsigned char byte) { guard.guardFrames[at] = byte; });
}

// Kept out of line and free of objects with destructors: a fault leaves it by siglongjmp.
// A C++ exception passes through to RunGuarded. `top` is where the frames that the jump back
// returns through end.
__attribute__((noinline)) bool CallUnderSignalGuard(void (*fn)(void*), void* arg,
                                                    ActiveGuard& guard, std::uintptr_t top) {
  guard.enclosing = ActiveGuardOnThisThread;
  if (sigsetjmp(guard.jump, 1) != 0) {
    ActiveGuardOnThisThread = guard.enclosing;
    return false;
  }
  ActiveGuardOnThisThread = &guard;
  KeepGuardFrames(guard, top);
  try {
    fn(arg);
  } catch (...) {
    ActiveGuardOnThisThread = guard.enclosing;
    throw;
  }
  ActiveGuardOnThisThread = guard.enclosing;
  return true;
}

// fn(arg) under `guard`, made afresh; false when a fault ended it.
bool CallGuarded(void (*fn)(void*), void* arg, ActiveGuard& guard, std::uintptr_t top) {
  guard = ActiveGuard{};
  return CallUnderSignalGuard(fn, arg, guard, top);
}

// What a guarded call threw, held past its catch block so that describing and destroying it
// (the server's what() and destructor) run under the signal guard too.
struct HeldException {
  std::exception_ptr exception;
  const std::exception* standard = nullptr;
  const std::type_info* type = nullptr;
  GuardOutcome* outcome = nullptr;
};

void DescribeHeldException(void* held) {
  auto* exception = static_cast<HeldException*>(held);
  DescribeException(exception->standard, exception->type, *exception->outcome);
}

// The exception is destroyed here, with its last reference; a fault in its destructor leaves
// its memory behind, never the process.
void ReleaseHeldException(void* held) {
  const std::exception_ptr last = std::move(static_cast<HeldException*>(held)->exception);
}

// What a guarded call works with, off the stack: the frames that the jump back returns through
// must not change while a guarded call runs, and the steps on a thrown object write here.
struct GuardedCall {
  ActiveGuard guard;
  HeldException held;
  GuardOutcome outcome;
};

void RecordProcessorFault(const ActiveGuard& guard, GuardOutcome& outcome) {
  outcome = GuardOutcome{};
  outcome.ending = GuardOutcome::Ending::ProcessorFault;
  outcome.code = static_cast<std::uint32_t>(guard.signal);
  outcome.access = guard.access;
  outcome.address = reinterpret_cast<std::uintptr_t>(guard.address);
  outcome.instruction = guard.instruction;
  outcome.stackOverflow = guard.stackOverflow;
  outcome.generalProtection = guard.generalProtection;
  outcome.sent = guard.sent;
  outcome.sender = static_cast<std::uint32_t>(guard.sender);
  outcome.frames = guard.frames;
  outcome.frameCount = guard.frameCount;
}

}  // namespace

// Thread cancellation unwinds as an exception without an object; the undefined-behaviour
// sanitizer takes catching it by reference for a null reference.
__attribute__((no_sanitize("null"))) GuardOutcome RunGuarded(void (*fn)(void*), void* arg) {
  InstallFaultHandlers();
  AlternateSignalStack alternateStack;
  // Without memory for the guard's state the call is not made: it fails as any call that ran
  // out of memory.
  const std::unique_ptr<GuardedCall> call(new (std::nothrow) GuardedCall{});
  if (!call) {
    GuardOutcome outOfMemory;
    outOfMemory.ending = GuardOutcome::Ending::CppException;
    outOfMemory.exceptionType = "std::bad_alloc";
    outOfMemory.exceptionText = "no memory for the crash guard";
    return outOfMemory;
  }
  ActiveGuard* const guard = &call->guard;
  HeldException& held = call->held;
  GuardOutcome& outcome = call->outcome;
  // The jump back returns through the frames up to this function's return address.
  const auto top = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) + 2 * sizeof(void*);
  try {
    if (!CallGuarded(fn, arg, *guard, top)) RecordProcessorFault(*guard, outcome);
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must go on unwinding
  } catch (const std::exception& error) {
    // Neither copied nor destroyed here: current_exception takes a reference.
    held.exception = std::current_exception();
    held.standard = &error;
  } catch (...) {
    held.exception = std::current_exception();
    held.type = CurrentExceptionType();
  }
  if (!held.exception) return std::move(outcome);
  outcome.ending = GuardOutcome::Ending::CppException;
  held.outcome = &outcome;
  // A fault in the thrown object's own code is said after what was learnt of it.
  for (const auto& [step, name] : {std::pair{&DescribeHeldException, "what()"},
                                   std::pair{&ReleaseHeldException, "destructor"}}) {
    if (CallGuarded(step, &held, *guard, top)) continue;
    GuardOutcome fault;
    RecordProcessorFault(*guard, fault);
    if (!outcome.exceptionText.empty()) outcome.exceptionText += " ";
    outcome.exceptionText += std::string("(its ") + name + " raised " + FaultName(fault) + ")";
  }
  return std::move(outcome);
}

void RestoreFaultHandlers() noexcept {
  std::lock_guard<std::mutex> lock(HandlersMutex);
  if (!HandlersInstalled.load(std::memory_order_relaxed)) return;
  for (std::size_t i = 0; i < kGuardedSignals.size(); ++i) {
    struct sigaction current {};
    if (sigaction(kGuardedSignals[i], nullptr, &current) == 0 && IsOurHandler(current)) {
      sigaction(kGuardedSignals[i], &PreviousActions[i], nullptr);
    }
  }
  HandlersInstalled.store(false, std::memory_order_release);
}

std::string FaultName(const GuardOutcome& outcome) {
  if (outcome.sent) {
    const char* name = sigabbrev_np(static_cast<int>(outcome.code));
    return std::string(name != nullptr ? "SIG" + std::string(name) : "a signal") +
           " sent by process " + std::to_string(outcome.sender);
  }
  switch (outcome.code) {
    case SIGSEGV:
      if (outcome.generalProtection) {
        return "SIGSEGV (general-protection fault, such as a non-canonical address)";
      }
      return outcome.stackOverflow ? "SIGSEGV (stack overflow)" : "SIGSEGV (invalid memory access)";
    case SIGBUS:
      return "SIGBUS (bus error)";
    case SIGFPE:
      return "SIGFPE (arithmetic error)";
    case SIGILL:
      return "SIGILL (illegal instruction)";
    default:
      return "signal " + std::to_string(outcome.code);
  }
}

namespace {

struct ModuleLookup {
  std::uintptr_t address;
  std::uintptr_t base = 0;
  const char* name = nullptr;
  bool found = false;
};

int FindModule(dl_phdr_info* module, std::size_t /*size*/, void* context) {
  auto* lookup = static_cast<ModuleLookup*>(context);
  for (ElfW(Half) i = 0; i < module->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = module->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    const std::uintptr_t start = module->dlpi_addr + segment.p_vaddr;
    if (lookup->address >= start && lookup->address - start < segment.p_memsz) {
      lookup->base = module->dlpi_addr;
      lookup->name = module->dlpi_name;
      lookup->found = true;
      return 1;
    }
  }
  return 0;
}

}  // namespace

// Not dladdr: it takes the loader's lock, which an unload of this library holds while it waits
// for the save thread. Walking the loaded modules takes only the lock that guards their list.
std::string ModuleAndOffset(std::uintptr_t address) {
  ModuleLookup lookup{address};
  if (address == 0 || dl_iterate_phdr(&FindModule, &lookup) == 0 || !lookup.found) {
    return HexAddress(address);
  }
  // The main program is listed without a name.
  const char* path =
      lookup.name != nullptr && lookup.name[0] != '\0' ? lookup.name : program_invocation_name;
  const char* name = std::strrchr(path, '/');
  name = name != nullptr ? name + 1 : path;
  return std::string(name) + "+" + HexAddress(address - lookup.base);
}

}  // namespace tamsel::platform
