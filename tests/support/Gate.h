#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/Wait.h"

// A one-way gate: threads wait until it is opened.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // False if the gate stayed closed for the whole timeout.
  bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// Polls `condition` until it holds or `timeout` runs out; returns its last value.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  return tamsel::platform::WaitUntil(std::chrono::steady_clock::now() + timeout, condition) ||
         condition();
}
