#pragma once

#include <sys/types.h>

namespace platform {

// A kernel thread, told apart from a later thread that the kernel gives the same id: ids are
// reused once a thread is gone, start times are not.
struct ThreadIdentity {
  pid_t id = 0;
  unsigned long long startTime = 0;  // in clock ticks since boot, as /proc gives it
};

ThreadIdentity CurrentThreadIdentity() noexcept;

// True while that very thread still exists in this process.
bool StillRunning(const ThreadIdentity& thread) noexcept;

}  // namespace platform
