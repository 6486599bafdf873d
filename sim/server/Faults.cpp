#include "sim/server/Faults.h"

#include <cstdlib>

namespace SimServer {

__attribute__((noinline)) void RaiseNullWrite() {
#if defined(__x86_64__)
  asm volatile("movl $1, 0" ::: "memory");
#else
#error "the deliberate fault is written for x86-64"
#endif
  std::abort();  // the fault did not happen: make that impossible to miss
}

}  // namespace SimServer
