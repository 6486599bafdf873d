#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
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
const char* const kExitWaitLine =
    "Waiting for the running world save to finish before the server exits.";

int CountIn(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// The threads of this process, from the kernel's list.
int ThreadCount() {
  int threads = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    ++threads;
  return threads;
}

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
  EXPECT_NE(ReadFile(logFile).find(std::string("[Tamsel][info] ") + kExitWaitLine + "\r\n"),
            std::string::npos);
}

// The server's exit and its host's handlers around a save, each in a process of its own:
// - a save that outlasts the limit: the exit and the unload at exit wait once between them,
//   say so once, and when the save ends after all (during the program's own exit work, here an
//   exit handler registered before the plug-in came) it touches nothing the exit destroyed;
// - a host that unloads its plug-ins from an exit handler registered before it loaded them: that
//   unload is the exit's, with its shutdown save;
// - a save that forks: the child's copy of it returns and the child ends, but the request the
//   parent refused is the parent's to save at its exit, once.
enum class ExitCase { StuckSave, UnloadFromAnExitHandler, SaveThatForks };

Gate* gReleaseSave = nullptr;
int gThreadsWithTheSave = 2;  // counted once it runs: a sanitizer may start a thread of its own
SimOs::DynamicLibrary* gHostsPlugin = nullptr;

class ExitTest : public LoadedPluginFixture, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitTest, OneWaitOneShutdownSaveAndNoCrash) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares this test's server directory
  const ExitCase exitCase = GetParam();
  const auto logFile = serverDir_.Path() / "server.log";
  EXPECT_EXIT(
      {
        SimHost::UseConsoleAndFileSinks(logFile.string());
        Gate release;
        gReleaseSave = &release;
        if (exitCase == ExitCase::StuckSave) {
          std::atexit([] {
            gReleaseSave->Open();
            // Until the save thread has run to its end.
            Eventually([] { return ThreadCount() < gThreadsWithTheSave; }, std::chrono::minutes(1));
          });
        } else if (exitCase == ExitCase::UnloadFromAnExitHandler) {
          std::atexit([] { gHostsPlugin->Unload(); });
        }
        serverDir_.WriteConfig(exitCase == ExitCase::StuckSave
                                   ? R"({"CpuThreads": "", "SaveWaitSeconds": 1,
                                        "LogSaveTimes": true})"
                                   : R"({"CpuThreads": ""})");
        LoadPlugin();
        gHostsPlugin = plugin_.get();
        Gate forkedChildGone;
        SimulatedSave::SetBody([&](ADravikMode*) {
          if (SimulatedSave::Runs() > 1) return;  // the shutdown save
          release.Wait(std::chrono::minutes(5));
          if (exitCase != ExitCase::SaveThatForks) return;
          const pid_t child = fork();
          if (child == 0) return;  // the child's only thread returns, and the child ends
          waitpid(child, nullptr, 0);
          forkedChildGone.Open();
        });
        auto* const gameMode = reinterpret_cast<ADravikMode*>(std::uintptr_t{0x1234});
        SimulatedSave::Request(gameMode);
        if (!Eventually([] { return SimulatedSave::Runs() == 1; })) std::exit(60);
        gThreadsWithTheSave = ThreadCount();
        SimulatedSave::Request(gameMode);  // refused: the server's shutdown save
        if (exitCase != ExitCase::StuckSave) release.Open();
        if (exitCase == ExitCase::SaveThatForks) forkedChildGone.Wait();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const std::string log = ReadFile(logFile);
  const bool stuck = exitCase == ExitCase::StuckSave;
  EXPECT_LE(CountIn(log, kExitWaitLine), 1) << log;
  EXPECT_EQ(CountIn(log, "did not finish within 1 second; the server exits anyway."), stuck ? 1 : 0)
      << log;
  EXPECT_EQ(CountIn(log, "Saving once more before exit"), stuck ? 0 : 1) << log;
  EXPECT_EQ(CountIn(log, "World saved in"), 0) << log;
  EXPECT_EQ(CountIn(log, "unloading"), 0) << log;
}

INSTANTIATE_TEST_SUITE_P(Cases, ExitTest,
                         ::testing::Values(ExitCase::StuckSave, ExitCase::UnloadFromAnExitHandler,
                                           ExitCase::SaveThatForks),
                         [](const auto& test) {
                           switch (test.param) {
                             case ExitCase::StuckSave:
                               return "StuckSave";
                             case ExitCase::UnloadFromAnExitHandler:
                               return "UnloadFromAnExitHandler";
                             case ExitCase::SaveThatForks:
                               break;
                           }
                           return "SaveThatForks";
                         });

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
