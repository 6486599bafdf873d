#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "sim/host/SimHost.h"
#include "tests/support/Gate.h"
#include "tests/support/LoadedPluginFixture.h"

namespace {

const char* const kWaitLine = "Waiting for the running world save to finish before unloading.";

using UnloadOrderTest = LoadedPluginFixture;

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

}  // namespace
