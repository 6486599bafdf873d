#include "platform/Threads.h"
#include "tests/support/Faults.h"

// Windows has no process-wide way to make thread creation fail for real: the platform layer's
// seam stands in for the system's refusal.
ThreadStartFailure::ThreadStartFailure() {
  platform::SetThreadCreationFailsForTesting(true);
  active_ = true;
}

ThreadStartFailure::~ThreadStartFailure() {
  platform::SetThreadCreationFailsForTesting(false);
}
