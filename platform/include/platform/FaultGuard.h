#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Running a call so that whatever it raises, a C++ exception or a processor fault, ends the
// call and not the process. One implementation per platform: structured exception handling on
// Windows, signal handlers on an alternate stack on POSIX.
namespace tamsel::platform {

// How a guarded call ended, gathered on the calling thread without allocating while a fault is
// being handled.
struct GuardOutcome {
  enum class Ending { Returned, ProcessorFault, CppException };
  Ending ending = Ending::Returned;

  // ProcessorFault: the signal number (POSIX) or exception code (Windows), the address that the
  // faulting access touched (0 where the fault names none), and the faulting instruction.
  std::uint32_t code = 0;
  enum class Access { Unknown, Read, Write, Execute };
  Access access = Access::Unknown;
  std::uintptr_t address = 0;
  std::uintptr_t instruction = 0;
  bool stackOverflow = false;  // the fault was the stack running out
  // POSIX: a general-protection fault (a non-canonical address, say), for which the kernel
  // names no address.
  bool generalProtection = false;
  // POSIX: the signal was sent by a process (kill, raise), not raised by an instruction; it
  // then names no address, and `sender` is the sending process's id.
  bool sent = false;
  std::uint32_t sender = 0;
  // The faulting thread's stack at the fault, innermost first: the faulting instruction, then
  // the return addresses of its callers, as far as the stack could be walked.
  static constexpr std::size_t kMaxFrames = 16;
  std::array<std::uintptr_t, kMaxFrames> frames{};
  std::size_t frameCount = 0;
  // With crash dumps enabled (CrashDump.h): the dump written for the fault (its path, UTF-8),
  // or why none could be.
  std::string crashDump;
  std::string crashDumpFailure;

  // CppException: the exception's type and what() text (empty for a type without one).
  std::string exceptionType;
  std::string exceptionText;

  bool Completed() const { return ending == Ending::Returned; }
};

// Calls fn(arg) so that a C++ exception or a processor fault (access violation, division by
// zero, illegal instruction, stack overflow) raised inside it ends the call here, and says how
// the call ended. Faults on other threads, or outside such a call, reach whatever handler the
// process had before. Only thread cancellation passes through. POSIX: signal handlers on an
// alternate stack and a jump back; Windows: __try/__except, with a vectored handler for a
// dispatch that cannot reach it (docs/architecture.md, the crash guard).
GuardOutcome RunGuarded(void (*fn)(void*), void* arg);

// One line for an administrator saying what ended a call that did not return: the fault by
// name with its address and the module and offset of the instruction, or the C++ exception's
// type and text. Not for use inside a signal handler.
std::string DescribeFault(const GuardOutcome& outcome);

// A processor fault's frames as "module+0xoffset" (or the bare address outside any module),
// innermost first, separated by ", "; empty when there are none. Of bounded length: each
// module name is cut to kMaxModuleNameBytes.
inline constexpr std::size_t kMaxModuleNameBytes = 48;
std::string DescribeStack(const GuardOutcome& outcome);

// Puts back the fault handlers that the process had before the first guarded call, wherever
// the current ones are still this library's; handlers that someone installed since are left
// alone. Called as the library is unloaded, so that no handler points into unmapped code.
// POSIX: the signal handlers; Windows: removes the vectored handler.
void RestoreFaultHandlers() noexcept;

}  // namespace tamsel::platform
