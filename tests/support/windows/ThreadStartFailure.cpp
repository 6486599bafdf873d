#include "tests/support/Faults.h"

// Windows offers no process-wide way to make thread creation fail; the test is skipped there.
ThreadStartFailure::ThreadStartFailure() = default;
ThreadStartFailure::~ThreadStartFailure() = default;
