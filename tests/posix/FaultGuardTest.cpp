#include <signal.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "platform/FaultGuard.h"
#include "platform/Threads.h"
#include "platform/posix/ThreadIdentity.h"
#include "tests/support/Faults.h"
#include "tests/support/Gate.h"

namespace {

void ExitWith42(int) {
  _exit(42);
}

void Nothing(int) {}

void WaitForever(void* gate) {
  static_cast<Gate*>(gate)->Wait(std::chrono::hours(1));
}

void DoNothing(void*) {}

struct sigaction CurrentAction(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return action;
}

void InstallPlainHandler(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

// The server's own crash handling must keep working: a fault that no guard covers, here on
// one thread while another thread sits inside a guarded call, goes to the handler that the
// process had before the guard was first used.
TEST(FaultGuardDeathTest, FaultOutsideAGuardReachesTheProcessHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        InstallPlainHandler(SIGSEGV, &ExitWith42);
        Gate never;
        std::thread guarded([&never] { platform::RunGuarded(&WaitForever, &never); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        RaiseFault(Fault::NullWrite);
      },
      ::testing::ExitedWithCode(42), "");
}

TEST(FaultGuardTest, RestoresThePreviousHandlersButNotOnesInstalledSince) {
  platform::RestoreFaultHandlers();  // whatever earlier tests left in place
  InstallPlainHandler(SIGSEGV, &Nothing);
  InstallPlainHandler(SIGFPE, &Nothing);
  ASSERT_TRUE(platform::RunGuarded(&DoNothing, nullptr).Completed());
  EXPECT_NE(CurrentAction(SIGSEGV).sa_handler, &Nothing) << "the guard's handler is in place";

  platform::RestoreFaultHandlers();
  EXPECT_EQ(CurrentAction(SIGSEGV).sa_handler, &Nothing);
  EXPECT_EQ(CurrentAction(SIGFPE).sa_handler, &Nothing);

  // Someone installs a handler after the guard's: it stays.
  ASSERT_TRUE(platform::RunGuarded(&DoNothing, nullptr).Completed());
  InstallPlainHandler(SIGFPE, &ExitWith42);
  platform::RestoreFaultHandlers();
  EXPECT_EQ(CurrentAction(SIGSEGV).sa_handler, &Nothing);
  EXPECT_EQ(CurrentAction(SIGFPE).sa_handler, &ExitWith42);

  // Installed again by the next guarded call, and it still catches.
  EXPECT_EQ(platform::RunGuarded([](void*) { RaiseFault(Fault::NullWrite); }, nullptr).code,
            static_cast<std::uint32_t>(SIGSEGV));
  platform::RestoreFaultHandlers();
  InstallPlainHandler(SIGSEGV, SIG_DFL);
  InstallPlainHandler(SIGFPE, SIG_DFL);
}

// A thread id that the kernel has handed to a newer thread does not count as the old thread.
TEST(ThreadIdentityTest, AThreadIsKnownByItsIdAndStartTime) {
  platform::ThreadIdentity worker;
  Gate finish;
  std::thread thread([&] {
    worker = platform::CurrentThreadIdentity();
    finish.Wait();
  });
  ASSERT_TRUE(Eventually([&] { return worker.id != 0; }));
  EXPECT_TRUE(platform::StillRunning(worker));

  // The same id, recorded for a thread that ran a second before this one started.
  platform::ThreadIdentity earlierThread = worker;
  earlierThread.runningAt -= static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
  EXPECT_FALSE(platform::StillRunning(earlierThread));

  finish.Open();
  thread.join();
  EXPECT_TRUE(Eventually([&] { return !platform::StillRunning(worker); }));
}

TEST(WorkerTrackingTest, UnloadWaitIsBoundedAndEndsWhenTheWorkerHasLeft) {
  ASSERT_TRUE(platform::WaitForWorkersToLeave(std::chrono::seconds(10)));
  Gate finish;
  platform::WorkerThread worker;
  ASSERT_TRUE(worker.Start([](void* gate) { static_cast<Gate*>(gate)->Wait(); }, &finish));
  worker.Detach();
  EXPECT_TRUE(platform::AnyWorkerInLibrary());
  EXPECT_FALSE(platform::WaitForWorkersToLeave(std::chrono::milliseconds(30)));
  finish.Open();
  EXPECT_TRUE(platform::WaitForWorkersToLeave(std::chrono::seconds(10)));
  EXPECT_FALSE(platform::AnyWorkerInLibrary());
}

}  // namespace
