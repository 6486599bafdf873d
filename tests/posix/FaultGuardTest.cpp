#include <signal.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "platform/Threads.h"
#include "tests/support/Faults.h"
#include "tests/support/Gate.h"

namespace {

void ExitWith42(int) {
  _exit(42);
}

void WaitForever(void* gate) {
  static_cast<Gate*>(gate)->Wait(std::chrono::hours(1));
}

// The server's own crash handling must keep working: a fault that no guard covers, here on
// one thread while another thread sits inside a guarded call, goes to the handler that the
// process had before the guard was first used.
TEST(FaultGuardDeathTest, FaultOutsideAGuardReachesTheProcessHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct sigaction serverHandler {};
        serverHandler.sa_handler = &ExitWith42;
        sigemptyset(&serverHandler.sa_mask);
        sigaction(SIGSEGV, &serverHandler, nullptr);

        Gate never;
        std::thread guarded([&never] { platform::RunGuarded(&WaitForever, &never); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        RaiseFault(Fault::NullWrite);
      },
      ::testing::ExitedWithCode(42), "");
}

TEST(FaultGuardTest, GuardedCallsReturnWhetherTheyCompleted) {
  int calls = 0;
  EXPECT_TRUE(platform::RunGuarded([](void* count) { ++*static_cast<int*>(count); }, &calls));
  EXPECT_EQ(calls, 1);
  // A fault inside a guarded call, then a normal one on the same thread: the guard is rearmed.
  EXPECT_FALSE(platform::RunGuarded([](void*) { RaiseFault(Fault::NullWrite); }, nullptr));
  EXPECT_TRUE(platform::RunGuarded([](void* count) { ++*static_cast<int*>(count); }, &calls));
  EXPECT_EQ(calls, 2);
}

TEST(WorkerTrackingTest, UnloadWaitIsBoundedAndEndsWhenTheWorkerHasLeft) {
  ASSERT_FALSE(platform::AnyWorkerInLibrary());
  // A worker about to start counts as running the library's code.
  platform::HoldLibraryForWorker();
  EXPECT_TRUE(platform::AnyWorkerInLibrary());
  EXPECT_FALSE(platform::WaitForWorkersToLeave(std::chrono::milliseconds(30)));

  Gate finish;
  std::thread worker([&finish] {
    platform::WorkerThreadStarted();
    finish.Wait();
    platform::WorkerThreadFinished();
  });
  EXPECT_FALSE(platform::WaitForWorkersToLeave(std::chrono::milliseconds(30)));
  finish.Open();
  worker.join();
  EXPECT_TRUE(platform::WaitForWorkersToLeave(std::chrono::seconds(10)));
  EXPECT_FALSE(platform::AnyWorkerInLibrary());
}

}  // namespace
