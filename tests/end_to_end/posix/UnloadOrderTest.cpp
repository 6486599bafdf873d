#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include <csetjmp>
#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

#include "sim/host/SimHost.h"
#include "tests/support/Faults.h"
#include "tests/support/Gate.h"
#include "tests/support/LoadedPluginFixture.h"

namespace {

const char* const kWaitLine = "Waiting for the running world save to finish before unloading.";

using UnloadOrderTest = LoadedPluginFixture;

// The host's own crash handler: it notes the fault and resumes where the test raised it.
sigjmp_buf gHostRecovery;
volatile std::sig_atomic_t gHostFaults = 0;

void HostCrashHandler(int) {
  gHostFaults = gHostFaults + 1;
  siglongjmp(gHostRecovery, 1);
}

bool HostHandlerGetsAFault() {
  const int before = gHostFaults;
  if (sigsetjmp(gHostRecovery, 1) == 0) RaiseFault(Fault::NullWrite);
  return gHostFaults == before + 1;
}

// The guard's handlers go when the library goes: the host's handler gets the process's faults
// again after an unload, after a reload and a second unload, and, forwarded, while the
// reloaded plug-in is loaded.
using UnloadOrderDeathTest = LoadedPluginFixture;

TEST_F(UnloadOrderDeathTest, TheHostsCrashHandlerOutlivesUnloadsAndReloads) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct sigaction host {};
        host.sa_handler = &HostCrashHandler;
        sigemptyset(&host.sa_mask);
        sigaction(SIGSEGV, &host, nullptr);
        serverDir_.WriteConfig(R"({"CpuThreads": ""})");
        int faultsSeen = 0;
        for (int round = 1; round <= 2; ++round) {
          LoadPlugin();
          const int runs = SimulatedSave::Runs();
          SimulatedSave::Request();  // the save thread puts the guard's handlers in place
          if (!Eventually([&] { return SimulatedSave::Runs() > runs; })) std::exit(30);
          if (round == 2 && HostHandlerGetsAFault()) ++faultsSeen;
          UnloadPlugin();
          if (HostHandlerGetsAFault()) ++faultsSeen;
        }
        std::exit(faultsSeen == 3 ? 0 : 10 + faultsSeen);
      },
      ::testing::ExitedWithCode(0), "");
}

// The unload runs while the library's static objects, its logger among them, still live: the
// plug-in logs through it while it waits for the running save, and only then goes away.
TEST_F(UnloadOrderTest, UnloadWaitsForTheRunningSaveWithTheLoggerAlive) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  LoadPlugin();
  const auto saved = StartSaveThatTakes(std::chrono::milliseconds(200));
  UnloadPlugin();
  EXPECT_TRUE(saved->load()) << "the unload returned before the save had finished";
  EXPECT_EQ(sink_->CountOf("info", kWaitLine), 1);
}

TEST_F(UnloadOrderTest, UnloadWithoutARunningSaveDoesNotWait) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  LoadPlugin();
  SimulatedSave::Request();
  ASSERT_TRUE(Eventually([] { return SimulatedSave::Runs() == 1; }));
  // Time for the finished worker thread to be gone, even on a loaded machine.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  UnloadPlugin();
  EXPECT_EQ(sink_->CountOf("info", kWaitLine), 0);
}

// A normal exit of the server during a save: the save completes and is on disk, the plug-in
// says why the exit waited, and the process ends cleanly.
TEST_F(UnloadOrderTest, ProcessExitDuringASaveLetsItFinish) {
  // Forked, so that the child shares this test's server directory; no other thread runs now.
  GTEST_FLAG_SET(death_test_style, "fast");
  const auto marker = serverDir_.Path() / "saved";
  const auto logFile = serverDir_.Path() / "server.log";
  EXPECT_EXIT(
      {
        SimHost::UseConsoleAndFileSinks(logFile.string());
        serverDir_.WriteConfig(R"({"CpuThreads": ""})");
        LoadPlugin();
        Gate started;
        SimulatedSave::SetBody([&](ADravikMode*) {
          started.Open();
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          serverDir_.Write("saved", "world");
        });
        SimulatedSave::Request();
        started.Wait();
        std::exit(0);  // with the library still loaded
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(marker), "world");
  EXPECT_NE(ReadFile(logFile).find(std::string("[Tamsel][info] ") + kWaitLine + "\r\n"),
            std::string::npos);
}

// A save that faults while the library is being unloaded, with its fault reported: the report
// names the module without the loader's lock, which the unload holds while it waits.
TEST_F(UnloadOrderTest, AFaultReportedDuringTheUnloadDoesNotStallIt) {
  serverDir_.WriteConfig(R"({"CpuThreads": "", "LogSaveFaults": true})");
  LoadPlugin();
  SimulatedSave::SetBody([](ADravikMode*) {
    // The unload has begun once it has asked the host to take the detour away.
    Eventually([] {
      const auto requests = SimHost::HookRequests();
      return !requests.empty() && requests.back().kind == SimHost::HookRequest::Kind::Remove;
    });
    RaiseFault(Fault::NullWrite);
  });
  SimulatedSave::Request();
  ASSERT_TRUE(Eventually([] { return SimulatedSave::Runs() == 1; }));
  UnloadPlugin();
  std::vector<std::string> errors;
  for (const auto& line : Logged())
    if (line.rfind("error|", 0) == 0) errors.push_back(line);
  ASSERT_EQ(errors.size(), 2U) << ::testing::PrintToString(errors);
  EXPECT_EQ(errors[0], "error|Error failed to save!");
  EXPECT_EQ(errors[1].rfind("error|Save fault: SIGSEGV (invalid memory access) writing address 0x0 "
                            "in tamsel_end_to_end_tests+0x",
                            0),
            0U)
      << errors[1];
}

// The host unloads the plug-in while a save outlasts the wait limit: dlclose would unmap the
// code that the save returns into, so the unload says so and waits on, and the process survives
// the save's return.
TEST_F(UnloadOrderTest, AnUnloadPastItsLimitWaitsForTheSaveThatRunsItsCode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        serverDir_.WriteConfig(R"({"CpuThreads": "", "SaveWaitSeconds": 1})");
        LoadPlugin();
        Gate started;
        Gate release;
        SimulatedSave::SetBody([&](ADravikMode*) {
          started.Open();
          release.Wait(std::chrono::minutes(5));
        });
        SimulatedSave::Request();
        started.Wait();
        std::thread unload([this] { ReleasePlugin(); });
        const bool toldWhy =
            Eventually([this] { return sink_->Contains("the unload waits for it to end"); },
                       std::chrono::minutes(1));
        release.Open();
        unload.join();
        std::exit(toldWhy ? 0 : 40);
      },
      ::testing::ExitedWithCode(0), "");
}

// fork() while a save runs: the child has no save thread, so its first request is accepted and
// its exit waits for nothing.
TEST_F(UnloadOrderTest, AForkedChildStartsWithNoSaveRunning) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer ends a forked child of a threaded process that starts a thread";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        serverDir_.WriteConfig(R"({"CpuThreads": ""})");
        LoadPlugin();
        Gate release;
        SimulatedSave::SetBody([&release](ADravikMode*) { release.Wait(std::chrono::minutes(5)); });
        SimulatedSave::Request();
        if (!Eventually([] { return SimulatedSave::Runs() == 1; })) std::exit(50);
        const pid_t child = fork();
        if (child == 0) {
          SimulatedSave::SetBody(nullptr);
          SimulatedSave::Request();
          const bool saved = Eventually([] { return SimulatedSave::Runs() == 2; });
          const bool waited = sink_->Contains("Waiting for the running world save");
          _exit(saved && !waited && sink_->CountOf("warning", "World Already Saving!") == 0 ? 0
                                                                                            : 51);
        }
        int status = 0;
        waitpid(child, &status, 0);
        release.Open();
        std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 52);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
