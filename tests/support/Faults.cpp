#include "tests/support/Faults.h"

#include <stdexcept>

#include "sim/server/Faults.h"

std::vector<Fault> AllFaults() {
  std::vector<Fault> faults;
  for (Fault fault : {Fault::StdException, Fault::OtherException, Fault::NullWrite,
                      Fault::DivideByZero, Fault::IllegalInstruction, Fault::StackOverflow}) {
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
  }
  throw std::logic_error("no such fault");
}

bool IsProcessorFault(Fault fault) {
  return fault != Fault::StdException && fault != Fault::OtherException;
}
