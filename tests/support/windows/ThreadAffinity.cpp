#include "tests/support/ThreadAffinity.h"

#include <windows.h>

std::uint64_t CurrentThreadAffinity() {
  // Windows has no query for one thread: setting a mask returns the one it replaces.
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) return 0;
  const DWORD_PTR previous = SetThreadAffinityMask(GetCurrentThread(), processMask);
  SetThreadAffinityMask(GetCurrentThread(), previous);
  return previous;
}
