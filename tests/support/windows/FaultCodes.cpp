#include <windows.h>

#include "tests/support/Faults.h"

std::uint32_t ExpectedFaultCode(Fault fault) {
  switch (fault) {
    case Fault::NullWrite:
      return EXCEPTION_ACCESS_VIOLATION;
    case Fault::DivideByZero:
      return EXCEPTION_INT_DIVIDE_BY_ZERO;
    case Fault::IllegalInstruction:
      return EXCEPTION_ILLEGAL_INSTRUCTION;
    case Fault::StackOverflow:
    case Fault::Recursion:
      return EXCEPTION_STACK_OVERFLOW;
    default:
      return 0;
  }
}

std::string ExpectedFaultWords(Fault fault) {
  switch (fault) {
    case Fault::NullWrite:
      return "access violation (0xc0000005) writing address 0x0 in ";
    case Fault::DivideByZero:
      return "integer division by zero (0xc0000094) in ";
    case Fault::IllegalInstruction:
      return "illegal instruction (0xc000001d) in ";
    case Fault::StackOverflow:
    case Fault::Recursion:
      return "stack overflow (0xc00000fd) in ";
    default:
      return "";
  }
}

// Wine ends a thread whose stack overflows instead of raising EXCEPTION_STACK_OVERFLOW in it.
bool RaisedReliablyHere(Fault fault) {
  return fault != Fault::StackOverflow && fault != Fault::Recursion;
}

bool EndedByUnhandledAccessFault(int status) {
  return static_cast<DWORD>(status) == EXCEPTION_ACCESS_VIOLATION;
}

void PrepareToEndByAFault(unsigned seconds) {
  // A filter of the program's own, as a server's crash reporter would set: Wine's starts a
  // debugger otherwise.
  SetUnhandledExceptionFilter(
      [](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_EXECUTE_HANDLER; });
  static unsigned timerSeconds = seconds;
  timerSeconds = seconds;
  CloseHandle(CreateThread(
      nullptr, 0,
      [](void*) -> DWORD {
        Sleep(timerSeconds * 1000);
        TerminateProcess(GetCurrentProcess(), 3);
        return 0;
      },
      nullptr, 0, nullptr));
}
