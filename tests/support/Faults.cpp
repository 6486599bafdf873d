#include "tests/support/Faults.h"

#include <cstdlib>
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

constexpr std::size_t kStackUseFrame = 2048;  // below a page: each call touches the next one

__attribute__((noinline)) int UseStackFrames(std::size_t frames) {
  if (frames == 0) return 0;
  volatile char frame[kStackUseFrame];
  frame[0] = static_cast<char>(frames);
  return UseStackFrames(frames - 1) + frame[0];
}

// The other faults, as the server's own null write: written out for real at any optimisation
// level.
__attribute__((noinline)) void RaiseDivideByZero() {
  asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::
                   : "eax", "ecx", "edx");
}

__attribute__((noinline)) void RaiseIllegalInstruction() {
  asm volatile("ud2");
}

// Pushes until the stack runs out; the stack pointer comes back only with the fault.
__attribute__((noinline)) void RaiseStackOverflow() {
  asm volatile("1:\n\tpushq %%rax\n\tjmp 1b" ::: "memory");
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
      SimServer::RaiseNullWrite();
    case Fault::DivideByZero:
      RaiseDivideByZero();
      break;
    case Fault::IllegalInstruction:
      RaiseIllegalInstruction();
      break;
    case Fault::StackOverflow:
      RaiseStackOverflow();
      break;
    case Fault::Recursion:
      Recurse(1);
      break;
  }
  std::abort();  // the fault did not happen: make that impossible to miss
}

void UseStack(std::size_t bytes) {
  UseStackFrames(bytes / kStackUseFrame);
}

bool IsProcessorFault(Fault fault) {
  return fault != Fault::StdException && fault != Fault::OtherException;
}
