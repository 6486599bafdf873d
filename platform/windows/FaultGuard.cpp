#include "FaultReportParts.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "windows/CrashDumpAtFault.h"

namespace tamsel::platform {
namespace {

constexpr std::size_t kGuardFramesKept = 1024;

// What a guarded call keeps for a fault: on the heap, not on the faulting stack.
struct FaultRecord {
  FaultRecord* enclosing = nullptr;
  // The way back when the system cannot dispatch the fault through the stack (a save that
  // overwrote its frames): the guard returning false, and a copy of the frames that return
  // goes through ([guardFramesLow, guardFramesLow + guardFramesSize)).
  CONTEXT returnFalse{};
  std::uintptr_t guardStackPointer = 0;  // inside the guard, where a walk must arrive
  std::uintptr_t guardFramesLow = 0;
  std::size_t guardFramesSize = 0;
  std::array<unsigned char, kGuardFramesKept> guardFrames{};
  bool walking = false;  // a fault while walking the stack ends that walk, nothing else

  DumpRequest dump = DumpRequest::Off;
  DWORD code = 0;
  GuardOutcome::Access access = GuardOutcome::Access::Unknown;
  std::uintptr_t address = 0;
  std::uintptr_t instruction = 0;
  std::array<std::uintptr_t, GuardOutcome::kMaxFrames> frames{};
  std::size_t frameCount = 0;
};

// Read by the vectored handler, which the system calls for every exception in the process.
thread_local FaultRecord* ActiveRecordOnThisThread = nullptr;

// Crash-time code: runs in the exception filter; reads the faulting stack only under
// GuardedUnwindOneFrame's __try; allocates nothing, takes no lock but the unwinder's, loads
// nothing.
// One frame up from `context`, with the system's unwinder and the modules' unwind tables; a
// function without a table is a leaf, whose return address is on top of the stack.
__declspec(noinline) bool UnwindOneFrame(CONTEXT* context) {
  DWORD64 imageBase = 0;
  PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context->Rip, &imageBase, nullptr);
  if (function == nullptr) {
    context->Rip = *reinterpret_cast<const DWORD64*>(context->Rsp);
    context->Rsp += sizeof(DWORD64);
  } else {
    PVOID handlerData = nullptr;
    DWORD64 establisherFrame = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context->Rip, function, context, &handlerData,
                     &establisherFrame, nullptr);
  }
  return context->Rip != 0;
}

// Crash-time code: as UnwindOneFrame.
// The stack at the fault, walked from the fault's context while it is still there (in the
// filter). A stack the save has overwritten can fault the walk: that ends it.
bool GuardedUnwindOneFrame(CONTEXT* context) {
  __try {
    return UnwindOneFrame(context);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    return false;
  }
}

// Crash-time code: as UnwindOneFrame.
void RecordStack(const CONTEXT& fault, FaultRecord* record) {
  CONTEXT context = fault;
  record->walking = true;
  record->frames[record->frameCount++] = static_cast<std::uintptr_t>(context.Rip);
  while (record->frameCount < record->frames.size() && GuardedUnwindOneFrame(&context))
    record->frames[record->frameCount++] = static_cast<std::uintptr_t>(context.Rip);
  record->walking = false;
}

// Crash-time code: as UnwindOneFrame.
// Whether the system's dispatch, walking the stack from the fault, would reach the guard: each
// frame's caller found by its unwind tables (only the faulting one may be a leaf without
// them), within the thread's stack and moving up, until the guard's own frame.
bool DispatchReachesTheGuard(const CONTEXT& fault, FaultRecord* record) {
  const auto* thread = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
  const auto stackLow = reinterpret_cast<std::uintptr_t>(thread->StackLimit);
  const auto stackHigh = reinterpret_cast<std::uintptr_t>(thread->StackBase);
  CONTEXT context = fault;
  bool reached = false;
  record->walking = true;
  for (int frame = 0; frame < 1024 && !reached; ++frame) {
    DWORD64 imageBase = 0;
    if (frame > 0 && RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr) == nullptr) break;
    const DWORD64 before = context.Rsp;
    if (!GuardedUnwindOneFrame(&context)) break;
    if (context.Rsp <= before || context.Rsp < stackLow || context.Rsp >= stackHigh) break;
    reached = context.Rsp == record->guardStackPointer;
  }
  record->walking = false;
  return reached;
}

// Crash-time code: as ForEachKeptByte.
// Whether the frames the way back returns through are as they were: a save that overwrote its
// stack as far as the guard's frames leaves no safe way back.
bool GuardFramesIntact(const FaultRecord& record) {
  bool intact = true;
  ForEachKeptByte<kGuardFramesKept>(record.guardFramesLow, record.guardFramesSize,
                                    [&](std::size_t at, unsigned char byte) {
                                      intact = intact && record.guardFrames[at] == byte;
                                    });
  return intact;
}

void RecordCurrentException(GuardOutcome& outcome) {
  try {
    throw;
  } catch (const std::exception& error) {
    DescribeException(&error, nullptr, outcome);
  } catch (...) {
    DescribeException(nullptr, CurrentExceptionType(), outcome);
  }
}

// Crash-time code: runs in the exception filter or the vectored handler; allocates nothing,
// takes no lock, loads nothing. Notes what the exception was.
void RecordException(EXCEPTION_POINTERS* exception, FaultRecord* record) {
  const EXCEPTION_RECORD& raised = *exception->ExceptionRecord;
  record->code = raised.ExceptionCode;
  record->instruction = reinterpret_cast<std::uintptr_t>(raised.ExceptionAddress);
  if ((raised.ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
       raised.ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
      raised.NumberParameters >= 2) {
    const ULONG_PTR kind = raised.ExceptionInformation[0];
    record->access = kind == 0   ? GuardOutcome::Access::Read
                     : kind == 1 ? GuardOutcome::Access::Write
                     : kind == 8 ? GuardOutcome::Access::Execute
                                 : GuardOutcome::Access::Unknown;
    record->address = static_cast<std::uintptr_t>(raised.ExceptionInformation[1]);
  }
  if (exception->ContextRecord != nullptr) RecordStack(*exception->ContextRecord, record);
  record->dump = RequestCrashDumpAtFault(exception);
}

// Crash-time code: the exception filter; allocates nothing, takes no lock, loads nothing.
// It takes every exception (EXCEPTION_EXECUTE_HANDLER) and notes what it was.
int RecordAndHandle(EXCEPTION_POINTERS* exception, FaultRecord* record) {
  RecordException(exception, record);
  return EXCEPTION_EXECUTE_HANDLER;
}

// The vectored handler. Crash-time code: reads its state from the heap record made before the
// guarded call began, never from the faulting stack (but for walks, which a fault of their own
// ends); allocates nothing, takes no lock, loads nothing.
// Called before any frame's handler, it leaves every exception that the system can dispatch
// to the guard (through the server's own handlers on the way) to that dispatch. One it cannot,
// a save having overwritten the frames above the fault, it takes itself: the guard returns
// false if its own frames are whole, or, if they are not, the process ends as it would
// without the guard: the server's unhandled-exception filter, then the end.
LONG CALLBACK OnVectoredException(EXCEPTION_POINTERS* exception) {
  FaultRecord* const record = ActiveRecordOnThisThread;
  if (record == nullptr || record->walking || exception->ContextRecord == nullptr) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (DispatchReachesTheGuard(*exception->ContextRecord, record)) return EXCEPTION_CONTINUE_SEARCH;
  ActiveRecordOnThisThread = record->enclosing;
  if (GuardFramesIntact(*record)) {
    RecordException(exception, record);
    *exception->ContextRecord = record->returnFalse;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  UnhandledExceptionFilter(exception);
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_CONTINUE_SEARCH;
}

std::mutex VectoredHandlerMutex;
PVOID VectoredHandler = nullptr;

void AddVectoredHandler() {
  const std::lock_guard<std::mutex> lock(VectoredHandlerMutex);
  // Last of the process's vectored handlers: one the server added first (a runtime that
  // repairs its own faults) sees every exception before this one.
  if (VectoredHandler == nullptr)
    VectoredHandler = AddVectoredExceptionHandler(0, &OnVectoredException);
}

// Called by the guard at its start, from a frame of its own: the guard's context as it will
// return false, and a copy of the frames that return goes through, up to the return address of
// the guard's caller (RunGuarded).
__declspec(noinline) void KeepWayBack(FaultRecord* record) {
  CONTEXT context{};
  RtlCaptureContext(&context);
  record->guardFramesSize = 0;
  // Up from here: into the guard, out of it into RunGuarded, out of RunGuarded.
  if (!UnwindOneFrame(&context)) return;
  record->guardStackPointer = static_cast<std::uintptr_t>(context.Rsp);
  if (!UnwindOneFrame(&context)) return;
  record->returnFalse = context;
  record->returnFalse.Rax = 0;
  if (!UnwindOneFrame(&context)) return;
  record->guardFramesLow = static_cast<std::uintptr_t>(record->returnFalse.Rsp);
  record->guardFramesSize = static_cast<std::size_t>(context.Rsp) - record->guardFramesLow;
  ForEachKeptByte<kGuardFramesKept>(
      record->guardFramesLow, record->guardFramesSize,
      [record](std::size_t at, unsigned char byte) { record->guardFrames[at] = byte; });
}

// Inside the structured guard: what() and the thrown object's destruction at the end of the
// catch block are the server's code too.
void CallCatchingCppExceptions(void (*fn)(void*), void* arg, GuardOutcome* outcome) {
  try {
    fn(arg);
  } catch (...) {
    // A Visual Studio build (/EHa) lets catch (...) take processor faults too: those go on to
    // the structured handler around this call, which names them. The cross builds (as /EHsc)
    // never bring a fault here.
    if (!HandlingCppException()) throw;
    RecordCurrentException(*outcome);
  }
}

// The fault has to be raised in a function called from the guarded block, not inlined into it.
__declspec(noinline) bool CallUnderStructuredGuard(void (*fn)(void*), void* arg,
                                                   GuardOutcome* outcome, FaultRecord* record) {
  KeepWayBack(record);
  __try {
    CallCatchingCppExceptions(fn, arg, outcome);
  } __except (RecordAndHandle(GetExceptionInformation(), record)) {
    return false;
  }
  return true;
}

}  // namespace

GuardOutcome RunGuarded(void (*fn)(void*), void* arg) {
  // Room below the guard page for handling a stack overflow; without it there is no stack left
  // to run the exception filter on.
  ULONG stackKeptForHandling = 64 * 1024;
  SetThreadStackGuarantee(&stackKeptForHandling);
  PrepareCrashDumpWriter();
  GuardOutcome outcome;
  const std::unique_ptr<FaultRecord> faultRecord(new (std::nothrow) FaultRecord{});
  if (!faultRecord) {
    outcome.ending = GuardOutcome::Ending::CppException;
    outcome.exceptionType = "std::bad_alloc";
    outcome.exceptionText = "no memory for the crash guard";
    return outcome;
  }
  FaultRecord& record = *faultRecord;
  AddVectoredHandler();
  record.enclosing = ActiveRecordOnThisThread;
  ActiveRecordOnThisThread = &record;
  const bool returned = CallUnderStructuredGuard(fn, arg, &outcome, &record);
  ActiveRecordOnThisThread = record.enclosing;
  if (!returned) {
    outcome = GuardOutcome{};
    outcome.ending = GuardOutcome::Ending::ProcessorFault;
    outcome.code = record.code;
    outcome.access = record.access;
    outcome.address = record.address;
    outcome.instruction = record.instruction;
    outcome.stackOverflow = record.code == EXCEPTION_STACK_OVERFLOW;
    outcome.frames = record.frames;
    outcome.frameCount = record.frameCount;
    TakeCrashDumpAnswer(record.dump, outcome.crashDump, outcome.crashDumpFailure);
  }
  return outcome;
}

// The vectored handler is the one process-wide handler; the rest is structured exception
// handling, which installs nothing.
void RestoreFaultHandlers() noexcept {
  const std::lock_guard<std::mutex> lock(VectoredHandlerMutex);
  if (VectoredHandler != nullptr) RemoveVectoredExceptionHandler(VectoredHandler);
  VectoredHandler = nullptr;
}

std::string FaultName(const GuardOutcome& outcome) {
  const std::uint32_t code = outcome.code;
  const char* name = nullptr;
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
      name = "access violation";
      break;
    case EXCEPTION_IN_PAGE_ERROR:
      name = "in-page error";
      break;
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      name = "integer division by zero";
      break;
    case EXCEPTION_INT_OVERFLOW:
      name = "integer overflow";
      break;
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      name = "illegal instruction";
      break;
    case EXCEPTION_PRIV_INSTRUCTION:
      name = "privileged instruction";
      break;
    case EXCEPTION_STACK_OVERFLOW:
      name = "stack overflow";
      break;
    case EXCEPTION_DATATYPE_MISALIGNMENT:
      name = "misaligned data";
      break;
    default:
      break;
  }
  const std::string hexCode = HexAddress(code);
  return name != nullptr ? std::string(name) + " (" + hexCode + ")" : "exception " + hexCode;
}

std::string ModuleAndOffset(std::uintptr_t address) {
  HMODULE module = nullptr;
  if (address == 0 || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                          reinterpret_cast<LPCWSTR>(address), &module)) {
    return HexAddress(address);
  }
  // Any length a path can have ("\\?\" paths go past MAX_PATH): the buffer grows until the
  // name fits.
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = 0;
  for (;;) {
    length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return HexAddress(address);
    if (length < path.size() || path.size() >= 32768) break;
    path.resize(path.size() * 2);
  }
  path.resize(length);
  const std::size_t nameStart = path.find_last_of(L"\\/");
  const std::wstring name = nameStart == std::wstring::npos ? path : path.substr(nameStart + 1);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, name.c_str(), static_cast<int>(name.size()),
                                        nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return HexAddress(address);
  std::string narrow(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, name.c_str(), static_cast<int>(name.size()), narrow.data(), bytes,
                      nullptr, nullptr);
  return narrow + "+" + HexAddress(address - reinterpret_cast<std::uintptr_t>(module));
}

}  // namespace tamsel::platform
