#include "tests/support/Faults.h"

#include <stdexcept>

std::vector<Fault> AllFaults() {
  return {Fault::StdException, Fault::OtherException, Fault::NullWrite, Fault::DivideByZero,
          Fault::IllegalInstruction};
}

std::string FaultName(Fault fault) {
  switch (fault) {
    case Fault::StdException:
      return "StdException";
    case Fault::OtherException:
      return "OtherException";
    case Fault::NullWrite:
      return "NullWrite";
    case Fault::DivideByZero:
      return "DivideByZero";
    case Fault::IllegalInstruction:
      return "IllegalInstruction";
  }
  return "Unknown";
}

// The faults are deliberate: the sanitizers must let them reach the processor.
__attribute__((noinline, no_sanitize("undefined"))) void RaiseFault(Fault fault) {
  switch (fault) {
    case Fault::StdException:
      throw std::runtime_error("the disk is full");
    case Fault::OtherException:
      throw 42;
    case Fault::NullWrite: {
      int* volatile target = nullptr;
      *target = 1;
      break;
    }
    case Fault::DivideByZero: {
      volatile int zero = 0;
      volatile int quotient = 1 / zero;
      (void)quotient;
      break;
    }
    case Fault::IllegalInstruction:
      __builtin_trap();
  }
  throw std::logic_error("the fault did not happen");
}
