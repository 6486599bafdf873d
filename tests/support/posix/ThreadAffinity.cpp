#include "tests/support/ThreadAffinity.h"

#include <pthread.h>
#include <sched.h>

std::uint64_t CurrentThreadAffinity() {
  cpu_set_t processors;
  CPU_ZERO(&processors);
  if (pthread_getaffinity_np(pthread_self(), sizeof(processors), &processors) != 0) return 0;
  std::uint64_t mask = 0;
  for (int bit = 0; bit < 64; ++bit) {
    if (CPU_ISSET(bit, &processors)) mask |= std::uint64_t{1} << bit;
  }
  return mask;
}
