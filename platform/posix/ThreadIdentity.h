#pragma once

#include <sys/types.h>

namespace tamsel::platform {

// A kernel thread, told apart from a later thread that the kernel gives the same id: ids are
// reused once a thread is gone, but a thread that reuses one started after the first.
struct ThreadIdentity {
  pid_t id = 0;
  // A moment at or after the thread's start, in the clock ticks since boot that /proc uses.
  unsigned long long runningAt = 0;
};

// Cheap: no file is read, so a save thread can take it as it starts.
ThreadIdentity CurrentThreadIdentity() noexcept;

// True while that very thread still exists in this process: a thread with its id that started
// after `runningAt` is another one.
bool StillRunning(const ThreadIdentity& thread) noexcept;

}  // namespace tamsel::platform
