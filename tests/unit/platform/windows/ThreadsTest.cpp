// An exiting process waits until the newest save thread has ended, not only left its save, and
// a save thread that exits the process never waits for itself.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Threads.h"
#include "tests/support/Gate.h"

namespace {

struct WorkerRun {
  bool waitsItself = false;
  HANDLE self = nullptr;  // the worker's own thread, opened by the worker
  Gate startReturned;
  Gate started;
  std::atomic<bool> ownWaitEnded{false};
  std::chrono::steady_clock::duration ownWait{};
};

void WorkerBody(void* arg) {
  auto* run = static_cast<WorkerRun*>(arg);
  run->self = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
  if (run->waitsItself) {
    run->startReturned.Wait();
    const auto start = std::chrono::steady_clock::now();
    run->ownWaitEnded = tamsel::platform::WaitForNewestWorkerToEnd(std::chrono::seconds(5));
    run->ownWait = std::chrono::steady_clock::now() - start;
  }
  run->started.Open();
  // Still running well after the other thread began to wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

class NewestWorkerTest : public ::testing::TestWithParam<bool> {};

TEST_P(NewestWorkerTest, TheWaitEndsWithTheThreadAndNeverWaitsForItself) {
  WorkerRun run;
  run.waitsItself = GetParam();
  tamsel::platform::WorkerThread worker;
  ASSERT_TRUE(worker.Start(&WorkerBody, &run, &WorkerBody));
  worker.Detach();
  run.startReturned.Open();
  ASSERT_TRUE(run.started.Wait());
  ASSERT_NE(run.self, nullptr);
  if (run.waitsItself) {
    EXPECT_TRUE(run.ownWaitEnded.load());
    EXPECT_LT(run.ownWait, std::chrono::seconds(1)) << "the worker waited for its own end";
    ASSERT_EQ(WaitForSingleObject(run.self, 5000), WAIT_OBJECT_0);
  } else {
    EXPECT_TRUE(tamsel::platform::WaitForNewestWorkerToEnd(std::chrono::seconds(5)));
    EXPECT_EQ(WaitForSingleObject(run.self, 0), WAIT_OBJECT_0) << "the thread still runs";
  }
  CloseHandle(run.self);
}

INSTANTIATE_TEST_SUITE_P(Callers, NewestWorkerTest, ::testing::Bool(), [](const auto& test) {
  return std::string(test.param ? "TheWorkerItself" : "AnotherThread");
});

}  // namespace
