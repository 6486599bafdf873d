#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <random>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/VelkorApi.h"
#include "logging/PluginLog.h"
#include "platform/Threads.h"
#include "plugin/UnloadAndExit.h"
#include "sim/host/LineSink.h"
#include "tests/support/Faults.h"
#include "tests/support/Gate.h"
#include "tests/support/PluginFixture.h"
#include "tests/support/ThreadAffinity.h"

using namespace tamsel;  // the plug-in's code under test

namespace {

ADravikMode* FakeGameMode() {
  return reinterpret_cast<ADravikMode*>(std::uintptr_t{0x1234});
}

using SaveWorldTest = SaveFixture;

TEST_F(SaveWorldTest, AcceptsRefusesWhileSavingAndAcceptsAgainAfterwards) {
  Gate release;
  SetSaveBody([&](ADravikMode*) { release.Wait(); });

  RequestSave(FakeGameMode());
  // The detour has returned, yet the save cannot have finished: it waits for the gate.
  EXPECT_TRUE(SaveInProgress.load());
  ASSERT_TRUE(Eventually([] { return SaveRuns() == 1; }));
  EXPECT_EQ(SimulatedSave::LastGameMode(), FakeGameMode());
  EXPECT_NE(SimulatedSave::LastThread(), std::this_thread::get_id());

  RequestSave(FakeGameMode());
  EXPECT_EQ(sink_->CountOf("warning", "World Already Saving!"), 1);
  EXPECT_TRUE(SaveInProgress.load());

  release.Open();
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(SaveRuns(), 1) << "a refused request must not be queued";

  RequestSave(FakeGameMode());
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(SaveRuns(), 2);
  EXPECT_EQ(sink_->Entries().size(), 1U) << "only the one warning was logged";
}

// Every way the server's routine can fail ends at the guard on the save thread.
class SaveFailureTest : public SaveFixture, public ::testing::WithParamInterface<Fault> {};

TEST_P(SaveFailureTest, IsLoggedOnceAndTheNextSaveIsAccepted) {
  const Fault fault = GetParam();
  SetSaveBody([fault](ADravikMode*) { RaiseFault(fault); });
  RequestSave(FakeGameMode());
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(sink_->CountOf("error", "Error failed to save!"), 1);
  EXPECT_EQ(sink_->Entries().size(), 1U);

  SetSaveBody(nullptr);
  RequestSave(FakeGameMode());
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(SaveRuns(), 2);
  EXPECT_EQ(sink_->CountOf("error", "Error failed to save!"), 1);
}

TEST_P(SaveFailureTest, TheFaultReportSaysWhatEndedTheSave) {
  const Fault fault = GetParam();
  LogSaveFaults = true;
  LogSaveTimes = true;  // a failed save has no duration to report
  SetSaveBody([fault](ADravikMode*) { RaiseFault(fault); });
  RequestSave(FakeGameMode());
  ASSERT_TRUE(WaitUntilIdle());
  const auto logged = sink_->Logged();
  ASSERT_EQ(logged.size(), 2U);
  EXPECT_EQ(logged[0], "error|Error failed to save!");
  if (IsProcessorFault(fault)) {
    EXPECT_EQ(logged[1].rfind("error|Save fault: " + ExpectedFaultWords(fault), 0), 0U)
        << logged[1];
    EXPECT_NE(logged[1].find("; stack: tamsel_unit_tests"), std::string::npos) << logged[1];
  } else {
    EXPECT_EQ(logged[1],
              fault == Fault::StdException
                  ? "error|Save fault: C++ exception std::runtime_error: the disk is full"
                  : "error|Save fault: C++ exception int");
  }
}

INSTANTIATE_TEST_SUITE_P(AllFaults, SaveFailureTest, ::testing::ValuesIn(AllFaults()),
                         [](const auto& test) { return FaultName(test.param); });

// An exception whose what() returns null is still an ordinary failed save.
struct NoText : std::exception {
  const char* what() const noexcept override { return nullptr; }
};

TEST_F(SaveWorldTest, AnExceptionWithoutTextIsAFailedSave) {
  LogSaveFaults = true;
  SetSaveBody([](ADravikMode*) { throw NoText(); });
  RequestSave();
  ASSERT_TRUE(WaitUntilIdle());
  const auto logged = sink_->Logged();
  ASSERT_EQ(logged.size(), 2U);
  EXPECT_EQ(logged[0], "error|Error failed to save!");
  EXPECT_EQ(logged[1].rfind("error|Save fault: C++ exception ", 0), 0U) << logged[1];
  EXPECT_NE(logged[1].find("NoText"), std::string::npos) << logged[1];
  SetSaveBody(nullptr);
  RequestSave();
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(SaveRuns(), 2);
}

// A host sink that throws what is no std::exception, as both spdlog lines pass on: the failed
// save's thread, the server's thread refused a save, and the unload all go on.
class ThrowingSink : public LineSink {
 protected:
  void Write(std::string, std::string) override { throw 42; }
};

TEST_F(SaveWorldTest, NothingASinkThrowsLeavesThePlugIn) {
  GetLogSinks().push_back(std::make_shared<ThrowingSink>());
  PluginLog::Get().Init("Tamsel");  // over the host's sinks as they stand now
  Gate release;
  SetSaveBody([&release](ADravikMode*) {
    release.Wait();
    RaiseFault(Fault::StdException);
  });
  RequestSave();
  ASSERT_TRUE(Eventually([] { return SaveRuns() == 1; }));
  EXPECT_NO_THROW(RequestSave());  // refused, on this thread
  release.Open();
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(sink_->CountOf("error", "Error failed to save!"), 1);
  SetSaveBody(nullptr);
  RequestSave();
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(SaveRuns(), 2) << "the failed save's thread left the flag set";
}

// The server's terminate handler (a crash reporter's) covers its saves: where the runtime keeps
// it per thread (Microsoft's), a save thread takes the one of the thread that asked for the
// save; where one serves the process, the save thread leaves it alone, so a handler the server
// installs after its request is the one that runs. That one is installed here while the
// request is still starting the save thread: as it logs a pinning the system refused.
[[noreturn]] void ExitWith17() {
  std::_Exit(17);
}
[[noreturn]] void ExitWith18() {
  std::_Exit(18);
}

class HandlerChangingSink : public LineSink {
 protected:
  void Write(std::string /*line*/, std::string text) override {
    if (text.rfind("Could not pin", 0) == 0) std::set_terminate(&ExitWith18);
  }
};

TEST_F(SaveWorldTest, TerminateInASaveReachesTheServersHandler) {
  if (std::thread::hardware_concurrency() >= 64) GTEST_SKIP() << "processor 63 exists here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        GetLogSinks().push_back(std::make_shared<HandlerChangingSink>());
        PluginLog::Get().Init("Tamsel");
        AffinityEnabled = true;
        AffinityMask = std::uint64_t{1} << 63;
        std::set_terminate(&ExitWith17);
        SetSaveBody([](ADravikMode*) { std::terminate(); });
        RequestSave();
        Eventually([] { return false; }, std::chrono::minutes(1));
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(tamsel::platform::kTerminateHandlerPerThread ? 17 : 18), "");
}

// A save that needs more stack than a new thread gets by default (8 MiB on Linux, 1 or 2 MiB
// on Windows) runs on its save thread as it would on the server's thread that asked for it.
TEST_F(SaveWorldTest, TheSaveThreadHasAsMuchStackAsTheThreadThatAsked) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  SetSaveBody([](ADravikMode*) { UseStack(24 * kMiB); });
  RunOnThreadWithStack(64 * kMiB, [] { RequestSave(); });
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(SaveRuns(), 1);
  EXPECT_EQ(sink_->Logged(), std::vector<std::string>{});
}

// Pinning the system refuses (here a processor the machine does not have) is reported once,
// with the processors and the system's reason; the saves go on unpinned.
TEST_F(SaveWorldTest, PinningTheSystemRefusesIsReportedOnce) {
  if (std::thread::hardware_concurrency() >= 64) GTEST_SKIP() << "processor 63 exists here";
  AffinityEnabled = true;
  AffinityMask = std::uint64_t{1} << 63;
  for (int save = 0; save < 2; ++save) {
    RequestSave();
    ASSERT_TRUE(WaitUntilIdle());
  }
  EXPECT_EQ(SaveRuns(), 2);
  const auto logged = sink_->Logged();
  ASSERT_EQ(logged.size(), 1U);
  EXPECT_EQ(logged[0].rfind("warning|Could not pin the save thread to CPU threads 63 (", 0), 0U)
      << logged[0];
  EXPECT_NE(logged[0].find("); saves run on any CPU thread."), std::string::npos) << logged[0];
}

TEST_F(SaveWorldTest, ReportsTheDurationOfASaveOnlyWhenAsked) {
  SetSaveBody([](ADravikMode*) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
  RequestSave();
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_TRUE(sink_->Lines().empty());

  LogSaveTimes = true;
  RequestSave();
  ASSERT_TRUE(WaitUntilIdle());
  const auto entries = sink_->Entries();
  ASSERT_EQ(entries.size(), 1U);
  EXPECT_EQ(entries[0].level, "info");
  std::smatch seconds;
  ASSERT_TRUE(std::regex_match(entries[0].message, seconds,
                               std::regex(R"(World saved in (\d+\.\d{3}) s\.)")))
      << entries[0].message;
  EXPECT_GE(std::stod(seconds[1]), 0.019);
}

TEST_F(SaveWorldTest, PinsTheSaveThreadOnlyWhenAffinityIsEnabled) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "needs two processors";
  const std::uint64_t inherited = CurrentThreadAffinity();
  ASSERT_NE(inherited & 2U, 0U) << "processor 1 is not available to this process";
  std::atomic<std::uint64_t> seenMask{0};
  auto saveAfterDetourReturns = [&](Gate& detourReturned) {
    SetSaveBody([&](ADravikMode*) {
      detourReturned.Wait();  // the detour has pinned the thread by now
      seenMask = CurrentThreadAffinity();
    });
    RequestSave();
    detourReturned.Open();
    ASSERT_TRUE(WaitUntilIdle());
  };

  // Off: the worker keeps what it inherited, even with a mask at hand.
  AffinityEnabled = false;
  AffinityMask = 2;
  Gate first;
  saveAfterDetourReturns(first);
  EXPECT_EQ(seenMask.load(), inherited);

  AffinityEnabled = true;
  Gate second;
  saveAfterDetourReturns(second);
  EXPECT_EQ(seenMask.load(), 2U);
  EXPECT_EQ(CurrentThreadAffinity(), inherited) << "the server's thread is not pinned";
}

// A save that ends at once: the thread is pinned before it runs, so the pinning never finds it
// ended (Windows refuses an ended thread; on Linux a thread that has ended has no kernel id,
// and the call would pin the calling thread, the server's, instead).
TEST_F(SaveWorldTest, ASaveThatEndsAtOnceIsPinnedAndTheServersThreadIsNot) {
  const std::uint64_t inherited = CurrentThreadAffinity();
  ASSERT_NE(inherited, 0U);
  AffinityEnabled = true;
  AffinityMask = inherited & (~inherited + 1);  // the lowest processor this process has
  std::atomic<std::uint64_t> seenMask{0};
  SetSaveBody([&](ADravikMode*) { seenMask = CurrentThreadAffinity(); });
  for (int save = 0; save < 200; ++save) {
    RequestSave();
    ASSERT_TRUE(WaitUntilIdle());
    ASSERT_EQ(seenMask.load(), AffinityMask) << "save " << save << " ran unpinned";
  }
  EXPECT_EQ(CurrentThreadAffinity(), inherited) << "the server's thread was pinned";
  EXPECT_EQ(sink_->CountOf("warning", "World Already Saving!"), 0);
  EXPECT_TRUE(sink_->Logged().empty()) << sink_->Logged().front();
}

TEST_F(SaveWorldTest, ConcurrentRequestsNeverRunTwoSavesAtOnce) {
  std::atomic<int> running{0};
  std::atomic<int> mostAtOnce{0};
  SetSaveBody([&](ADravikMode*) {
    const int now = running.fetch_add(1) + 1;
    int most = mostAtOnce.load();
    while (now > most && !mostAtOnce.compare_exchange_weak(most, now)) {
    }
    thread_local std::minstd_rand random(std::random_device{}());
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
    running.fetch_sub(1);
  });

  constexpr int kThreads = 4;
  constexpr int kRequestsEach = 300;
  std::vector<std::thread> servers;
  for (int t = 0; t < kThreads; ++t) {
    servers.emplace_back([] {
      for (int i = 0; i < kRequestsEach; ++i) {
        RequestSave();
        std::this_thread::yield();
      }
    });
  }
  for (auto& server : servers)
    server.join();
  ASSERT_TRUE(WaitUntilIdle());

  EXPECT_EQ(mostAtOnce.load(), 1);
  const int refused = sink_->CountOf("warning", "World Already Saving!");
  EXPECT_EQ(SaveRuns() + refused, kThreads * kRequestsEach);
  EXPECT_GT(SaveRuns(), 0);
}

TEST_F(SaveWorldTest, SavesOnTheServerThreadWhenNoThreadCanBeStarted) {
  ThreadStartFailure noThreads;
  if (!noThreads.Active()) GTEST_SKIP() << "thread creation cannot be made to fail here";
  RequestSave();
  EXPECT_EQ(SaveRuns(), 1);
  EXPECT_EQ(SimulatedSave::LastThread(), std::this_thread::get_id());
  EXPECT_FALSE(SaveInProgress.load());
  EXPECT_EQ(sink_->CountOf("warning",
                           "Could not start a save thread; the world is saved on the server "
                           "thread instead."),
            1);

  // Failures are still caught there, and nothing is left blocked.
  SetSaveBody([](ADravikMode*) { throw std::runtime_error("disk full"); });
  RequestSave();
  EXPECT_EQ(sink_->CountOf("error", "Error failed to save!"), 1);
  EXPECT_FALSE(SaveInProgress.load());
  EXPECT_FALSE(tamsel::platform::AnyWorkerInLibrary());
}

// The server's shutdown save asked for while a periodic save runs is refused; at the exit the
// plug-in saves once more for it, on the exiting thread, once the running save has ended. An
// exit with no refusal since that save began saves nothing more, and only the first of the
// exit functions a process passes through waits.
class ExitAfterRefusalTest : public SaveFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(ExitAfterRefusalTest, TheRefusedRequestIsSavedOnceBeforeTheExit) {
  const bool refusedBetween = GetParam();
  ADravikMode* const shutdownRequest = reinterpret_cast<ADravikMode*>(std::uintptr_t{0x5678});
  Gate release;
  SetSaveBody([&](ADravikMode* gameMode) {
    if (gameMode == FakeGameMode()) release.Wait();
  });
  RequestSave(FakeGameMode());
  ASSERT_TRUE(Eventually([] { return SaveRuns() == 1; }));
  if (refusedBetween) RequestSave(shutdownRequest);
  std::thread opener([&release] { release.Open(); });
  HoldExitForSave();
  opener.join();
  EXPECT_FALSE(SaveInProgress.load());
  EXPECT_EQ(SaveRuns(), refusedBetween ? 2 : 1);
  const int savedOnceMore =
      sink_->CountOf("info",
                     "Saving once more before exit: a save asked for during the last one was "
                     "refused.");
  EXPECT_EQ(savedOnceMore, refusedBetween ? 1 : 0);
  if (refusedBetween) {
    EXPECT_EQ(SimulatedSave::LastGameMode(), shutdownRequest);
    EXPECT_EQ(SimulatedSave::LastThread(), std::this_thread::get_id());
  }
  HoldExitForSave();
  EXPECT_EQ(SaveRuns(), refusedBetween ? 2 : 1) << "a second exit function saved again";
}

INSTANTIATE_TEST_SUITE_P(Requests, ExitAfterRefusalTest, ::testing::Bool(), [](const auto& test) {
  return test.param ? "RefusedDuringTheSave" : "NoneRefused";
});

// A save that never ends is reported once, at the first refusal past the limit, and again for
// the next stuck save, not for one that ends in time.
TEST_F(SaveWorldTest, AStuckSaveIsReportedOnceAtARefusal) {
  StuckSaveMinutes = 0.0005;  // 30 ms
  const std::regex stuckLine(
      "error\\|The world save running since \\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d has not "
      "finished after [0-9.]+ seconds; every save request is refused until it does\\.");
  const auto stuckReports = [&] {
    const auto logged = sink_->Logged();
    return std::count_if(logged.begin(), logged.end(), [&](const std::string& line) {
      return std::regex_match(line, stuckLine);
    });
  };
  for (int stuckSave = 1; stuckSave <= 2; ++stuckSave) {
    auto release = std::make_shared<Gate>();
    SetSaveBody([release](ADravikMode*) { release->Wait(); });
    RequestSave();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // past the limit
    RequestSave();
    RequestSave();
    EXPECT_EQ(stuckReports(), stuckSave) << sink_->Logged().back();
    release->Open();
    ASSERT_TRUE(WaitUntilIdle());
  }
  StuckSaveMinutes = 10;
  SetSaveBody([](ADravikMode*) { std::this_thread::sleep_for(std::chrono::milliseconds(60)); });
  RequestSave();
  RequestSave();
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(stuckReports(), 2);
}

}  // namespace
