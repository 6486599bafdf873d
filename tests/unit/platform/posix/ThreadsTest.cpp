#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Threads.h"
#include "platform/posix/ThreadIdentity.h"
#include "tests/support/Gate.h"

namespace {

// A thread id that the kernel has handed to a newer thread does not count as the old thread;
// a live thread whose start time cannot be read (no file descriptor left) still counts.
TEST(ThreadIdentityTest, AThreadIsKnownByItsIdAndStartTime) {
  tamsel::platform::ThreadIdentity worker;
  Gate finish;
  std::thread thread([&] {
    worker = tamsel::platform::CurrentThreadIdentity();
    finish.Wait();
  });
  ASSERT_TRUE(Eventually([&] { return worker.id != 0; }));
  EXPECT_TRUE(tamsel::platform::StillRunning(worker));

  // The same id, recorded for a thread that ran a second before this one started.
  tamsel::platform::ThreadIdentity earlierThread = worker;
  earlierThread.runningAt -= static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
  EXPECT_FALSE(tamsel::platform::StillRunning(earlierThread));

  {
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    const bool stillRunning = tamsel::platform::StillRunning(worker);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(stillRunning) << "a thread whose start time cannot be read was taken for gone";
  }

  finish.Open();
  thread.join();
  EXPECT_TRUE(Eventually([&] { return !tamsel::platform::StillRunning(worker); }));
}

TEST(WorkerTrackingTest, UnloadWaitIsBoundedAndEndsWhenTheWorkerHasLeft) {
  ASSERT_TRUE(tamsel::platform::WaitForWorkersToLeave(std::chrono::seconds(10)));
  Gate finish;
  tamsel::platform::WorkerThread worker;
  const auto waitAtGate = [](void* gate) { static_cast<Gate*>(gate)->Wait(); };
  ASSERT_TRUE(worker.Start(waitAtGate, &finish, waitAtGate));
  worker.Detach();
  EXPECT_TRUE(tamsel::platform::AnyWorkerInLibrary());
  EXPECT_FALSE(tamsel::platform::WaitForWorkersToLeave(std::chrono::milliseconds(30)));
  finish.Open();
  EXPECT_TRUE(tamsel::platform::WaitForWorkersToLeave(std::chrono::seconds(10)));
  EXPECT_FALSE(tamsel::platform::AnyWorkerInLibrary());
}

}  // namespace
