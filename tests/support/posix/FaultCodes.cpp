#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "tests/support/Faults.h"

std::uint32_t ExpectedFaultCode(Fault fault) {
  switch (fault) {
    case Fault::NullWrite:
      return SIGSEGV;
    case Fault::DivideByZero:
      return SIGFPE;
    case Fault::IllegalInstruction:
      return SIGILL;
    case Fault::StackOverflow:
    case Fault::Recursion:
      return SIGSEGV;
    default:
      return 0;
  }
}

std::string ExpectedFaultWords(Fault fault) {
  switch (fault) {
    case Fault::NullWrite:
      return "SIGSEGV (invalid memory access) writing address 0x0 in ";
    case Fault::DivideByZero:
      return "SIGFPE (arithmetic error) in ";
    case Fault::IllegalInstruction:
      return "SIGILL (illegal instruction) in ";
    case Fault::StackOverflow:
    case Fault::Recursion:
      return "SIGSEGV (stack overflow) in ";
    default:
      return "";
  }
}

bool RaisedReliablyHere(Fault) {
  return true;
}

bool EndedByUnhandledAccessFault(int status) {
  return WIFSIGNALED(status) && (WTERMSIG(status) == SIGSEGV || WTERMSIG(status) == SIGBUS);
}

void PrepareToEndByAFault(unsigned seconds) {
  alarm(seconds);
}
