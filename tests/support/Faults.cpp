#include "tests/support/Faults.h"

#include <stdexcept>

#include "sim/server/Faults.h"

namespace {

// As ordinary code recurses: each call opens a frame and writes into it, so the faulting store
// can lie just above the stack pointer. The frame is used after the call, so the recursion
// cannot become a loop.
volatile bool gStopRecursion = false;  // never set: only makes the recursion look finite

__attribute__((noinline)) int Recurse(int depth) {
  if (gStopRecursion) return 0;
  volatile char frame[512];
  frame[depth % sizeof(frame)] = static_cast<char>(depth);
  return Recurse(depth + 1) + frame[(depth * 7) % sizeof(frame)];
}

}  // namespace

std::vector<Fault> AllFaults() {
  std::vector<Fault> faults;
  for (Fault fault :
       {Fault::StdException, Fault::OtherException, Fault::NullWrite, Fault::DivideByZero,
        Fault::IllegalInstruction, Fault::StackOverflow, Fault::Recursion}) {
    if (RaisedReliablyHere(fault)) faults.push_back(fault);
  }
  return faults;
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
    case Fault::StackOverflow:
      return "StackOverflow";
    case Fault::Recursion:
      return "Recursion";
  }
  return "Unknown";
}

void RaiseFault(Fault fault) {
  switch (fault) {
    case Fault::StdException:
      throw std::runtime_error("the disk is full");
    case Fault::OtherException:
      throw 42;
    case Fault::NullWrite:
      SimServer::RaiseProcessorFault(SimServer::ProcessorFault::NullWrite);
    case Fault::DivideByZero:
      SimServer::RaiseProcessorFault(SimServer::ProcessorFault::DivideByZero);
    case Fault::IllegalInstruction:
      SimServer::RaiseProcessorFault(SimServer::ProcessorFault::IllegalInstruction);
    case Fault::StackOverflow:
      SimServer::RaiseProcessorFault(SimServer::ProcessorFault::StackOverflow);
    case Fault::Recursion:
      Recurse(1);
  }
  throw std::logic_error("no such fault");
}

bool IsProcessorFault(Fault fault) {
  return fault != Fault::StdException && fault != Fault::OtherException;
}
