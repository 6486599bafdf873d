#pragma once

#include <chrono>
#include <thread>

namespace tamsel::platform {

// Checks `done` every 2 ms until it holds; false when `deadline` came first. For waits on
// other threads that have nothing to signal with, such as a thread's end or a flag.
template <typename Condition>
bool WaitUntil(std::chrono::steady_clock::time_point deadline, Condition done) {
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace tamsel::platform
