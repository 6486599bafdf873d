#include "FaultReportParts.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "windows/CrashDumpAtFault.h"

namespace platform {
namespace {

// What the filter records: on the heap, not on the faulting stack.
struct FaultRecord {
  DumpRequest dump = DumpRequest::Off;
  DWORD code = 0;
  GuardOutcome::Access access = GuardOutcome::Access::Unknown;
  std::uintptr_t address = 0;
  std::uintptr_t instruction = 0;
  std::array<std::uintptr_t, GuardOutcome::kMaxFrames> frames{};
  std::size_t frameCount = 0;
};

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
  record->frames[record->frameCount++] = static_cast<std::uintptr_t>(context.Rip);
  while (record->frameCount < record->frames.size() && GuardedUnwindOneFrame(&context))
    record->frames[record->frameCount++] = static_cast<std::uintptr_t>(context.Rip);
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

// Crash-time code: the exception filter; allocates nothing, takes no lock, loads nothing.
// It takes every exception (EXCEPTION_EXECUTE_HANDLER) and notes what it was.
int RecordAndHandle(EXCEPTION_POINTERS* exception, FaultRecord* record) {
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
  return EXCEPTION_EXECUTE_HANDLER;
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
  if (!CallUnderStructuredGuard(fn, arg, &outcome, &record)) {
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

// Structured exception handling installs nothing process-wide.
void RestoreFaultHandlers() noexcept {}

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

}  // namespace platform
