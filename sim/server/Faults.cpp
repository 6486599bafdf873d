#include "sim/server/Faults.h"

#include <cstdlib>

namespace SimServer {

__attribute__((noinline)) void RaiseProcessorFault(ProcessorFault fault) {
#if defined(__x86_64__)
  switch (fault) {
    case ProcessorFault::NullWrite:
      asm volatile("movl $1, 0" ::: "memory");
      break;
    case ProcessorFault::DivideByZero:
      asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::
                       : "eax", "ecx", "edx");
      break;
    case ProcessorFault::IllegalInstruction:
      asm volatile("ud2");
      break;
    case ProcessorFault::StackOverflow:
      // Pushes until the stack runs out; the stack pointer comes back only with the fault.
      asm volatile("1:\n\tpushq %%rax\n\tjmp 1b" ::: "memory");
      break;
  }
#else
#error "the deliberate faults are written for x86-64"
#endif
  std::abort();  // the fault did not happen: make that impossible to miss
}

}  // namespace SimServer
