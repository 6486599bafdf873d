#include <pthread.h>

#include "tests/support/Faults.h"

// New threads take their stack size from the process default; one larger than the address
// space makes every creation fail for real.
ThreadStartFailure::ThreadStartFailure() {
  pthread_attr_t defaults;
  if (pthread_getattr_default_np(&defaults) != 0) return;
  size_t stackSize = 0;
  pthread_attr_getstacksize(&defaults, &stackSize);
  savedStackSize_ = stackSize;
  if (stackSize == 0) {  // nothing known to restore afterwards
    pthread_attr_destroy(&defaults);
    return;
  }
  pthread_attr_setstacksize(&defaults, size_t{1} << 52);
  active_ = pthread_setattr_default_np(&defaults) == 0;
  pthread_attr_destroy(&defaults);
}

ThreadStartFailure::~ThreadStartFailure() {
  if (!active_) return;
  pthread_attr_t defaults;
  pthread_getattr_default_np(&defaults);
  pthread_attr_setstacksize(&defaults, static_cast<size_t>(savedStackSize_));
  pthread_setattr_default_np(&defaults);
  pthread_attr_destroy(&defaults);
}
