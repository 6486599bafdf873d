#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <regex>

#include "host/SpdlogLine.h"
#include "host/VelkorApi.h"
#include "platform/Threads.h"
#include "sim/host/SimHost.h"
#include "sim/os/Files.h"
#include "tests/support/Faults.h"
#include "tests/support/Gate.h"
#include "tests/support/LoadedPluginFixture.h"
#include "tests/support/ThreadAffinity.h"

namespace {

using SimHost::HookRequest;

using EndToEndTest = LoadedPluginFixture;

TEST_F(EndToEndTest, LoadsConfiguresSavesOnAWorkerAndUnloads) {
  const bool twoProcessors = std::thread::hardware_concurrency() >= 2;
  const int processor = twoProcessors ? 1 : 0;
  serverDir_.WriteConfig("{\"CpuThreads\": \"" + std::to_string(processor) + "\"}");
  LoadPlugin();

  EXPECT_EQ(Logged(),
            (std::vector<std::string>{"info|CPU Affinity Enabled!",
                                      "info|Using CPU Thread[" + std::to_string(processor) + "]!",
                                      kActiveLine}));
  for (const auto& line : sink_->Lines())
    EXPECT_NE(line.find("[Tamsel][info] "), std::string::npos);
  ASSERT_NE(CallTarget(), SimulatedSave::Address()) << "the detour is in place";

  Gate detourReturned;
  std::atomic<bool> saved{false};
  std::atomic<std::thread::id> saveThread{};
  std::atomic<std::uint64_t> saveAffinity{0};
  SimulatedSave::SetBody([&](ADravikMode*) {
    detourReturned.Wait();
    saveThread = std::this_thread::get_id();
    saveAffinity = CurrentThreadAffinity();
    saved = true;
  });
  SimulatedSave::Request();
  EXPECT_FALSE(saved.load()) << "the server's thread does not wait for the save";
  detourReturned.Open();
  ASSERT_TRUE(Eventually([&] { return saved.load(); }));
  EXPECT_NE(saveThread.load(), std::this_thread::get_id());
  EXPECT_EQ(saveAffinity.load(), std::uint64_t{1} << processor)
      << "the first save already runs on the configured processor";

  // A crash in the server's routine is caught inside the loaded plug-in.
  SimulatedSave::SetBody([](ADravikMode*) { RaiseFault(Fault::NullWrite); });
  const int runs = SimulatedSave::Runs();
  ASSERT_TRUE(Eventually([&] {
    // Refused until the last worker has cleared its flag.
    if (SimulatedSave::Runs() == runs) SimulatedSave::Request();
    return SimulatedSave::Runs() > runs;
  }));
  ASSERT_TRUE(Eventually([&] { return sink_->CountOf("error", "Error failed to save!") == 1; }));

  UnloadPlugin();
  EXPECT_EQ(CallTarget(), SimulatedSave::Address());
  const auto requests = SimHost::HookRequests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[0].kind, HookRequest::Kind::Install);
  EXPECT_EQ(requests[1].kind, HookRequest::Kind::Remove);
  EXPECT_EQ(requests[1].functionKey, "ADravikMode.SaveWorld");
  EXPECT_EQ(requests[1].detour, requests[0].detour);
  EXPECT_TRUE(requests[1].accepted);

  // The host's sinks outlive the plug-in and still take the host's own lines.
  HostLogger()->info("after unload");
  EXPECT_NE(sink_->Lines().back().find("after unload"), std::string::npos);

  // After the unload the server saves with its own routine again, on its own thread.
  SimulatedSave::SetBody([&](ADravikMode*) { saveThread = std::this_thread::get_id(); });
  const int runsBefore = SimulatedSave::Runs();
  SimulatedSave::Request();
  EXPECT_EQ(SimulatedSave::Runs(), runsBefore + 1);
  EXPECT_EQ(saveThread.load(), std::this_thread::get_id());
}

// With the host's spdlog line the plug-in's pattern lives in its own logger: the host's lines
// keep the host's pattern, another logger's pattern leaves the plug-in's lines alone, and after
// the unload the sinks are the host's alone again.
TEST_F(EndToEndTest, TheHostsLinesAndSinksStayTheHosts) {
  if (TAMSEL_SPDLOG_SINKS_FORMAT) {
    GTEST_SKIP() << "spdlog 1.x sinks format with the pattern that the last logger set on them";
  }
  const auto host = HostLogger();
  host->info("before");
  const long ownersBefore = sink_.use_count();
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  LoadPlugin();
  host->info("loaded");
  auto other = HostLogger("Other");
  other->set_pattern("%v");
  other->info("other");
  const auto saved = StartSaveThatTakes(std::chrono::milliseconds(300));
  SimulatedSave::Request();  // refused while the first runs: the plug-in writes its warning
  ASSERT_TRUE(Eventually([&] { return saved->load(); }));
  UnloadPlugin();
  other.reset();
  host->info("after");
  EXPECT_EQ(sink_.use_count(), ownersBefore) << "the plug-in still holds the host's sink";

  const auto lines = sink_->Lines();
  ASSERT_EQ(lines.size(), 6U);
  const std::regex hostLine(
      R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[Host\] \[info\] (before|loaded|after)\r?\n$)");
  for (std::size_t i : {0, 2, 5})
    EXPECT_TRUE(std::regex_match(lines[i], hostLine)) << lines[i];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex("^other\r?\n$"))) << lines[3];
  EXPECT_EQ(sink_->Logged()[1], kActiveLine);
  EXPECT_EQ(sink_->Logged()[4], "warning|World Already Saving!");
  for (std::size_t i : {1, 4})
    EXPECT_EQ(lines[i].substr(lines[i].size() - 2), "\r\n");
}

// Every thread that starts or ends in the server reaches the library's entry (on Windows, as
// thread notifications); none of them changes anything.
TEST_F(EndToEndTest, ThreadsStartingAndEndingChangeNothing) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  LoadPlugin();
  const auto requestsBefore = SimHost::HookRequests().size();
  for (int i = 0; i < 8; ++i)
    std::thread([] {}).join();
  EXPECT_EQ(Logged(), std::vector<std::string>{kActiveLine});
  EXPECT_EQ(SimHost::HookRequests().size(), requestsBefore);
  EXPECT_NE(CallTarget(), SimulatedSave::Address());
  SimulatedSave::Request();
  EXPECT_TRUE(Eventually([] { return SimulatedSave::Runs() == 1; }));
}

TEST_F(EndToEndTest, AFailedConfigurationInstallsNothingAndUnloadStillAsksOnce) {
  LoadPlugin();  // no config.json at all
  const auto entries = sink_->Entries();
  ASSERT_EQ(entries.size(), 2U);
  EXPECT_EQ(entries[0].level, "error");
  EXPECT_EQ(Logged().back(), kInactiveLine);
  // Shown with the system's separator throughout.
  const std::string shownPath =
      std::filesystem::path("/VelkorApi/Plugins/Tamsel/config.json").make_preferred().string();
  EXPECT_NE(entries[0].message.find(
                std::filesystem::path(serverDir_.Path()).make_preferred().string() + shownPath),
            std::string::npos)
      << entries[0].message;
  // The system's words; Microsoft's standard library writes them in lower case.
  EXPECT_TRUE(std::regex_search(entries[0].message,
                                std::regex(R"(\(cannot open: [Nn]o such file or directory\))")))
      << entries[0].message;
  EXPECT_TRUE(SimHost::HookRequests().empty());
  EXPECT_EQ(CallTarget(), SimulatedSave::Address());

  UnloadPlugin();
  const auto requests = SimHost::HookRequests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].kind, HookRequest::Kind::Remove);
  EXPECT_EQ(requests[0].functionKey, "ADravikMode.SaveWorld");
  EXPECT_NE(requests[0].detour, nullptr);
  EXPECT_FALSE(requests[0].accepted);
}

TEST_F(EndToEndTest, ARefusedDetourLeavesTheServerItsOwnRoutine) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  void* original = nullptr;
  void* otherDetour = reinterpret_cast<void*>(&RaiseFault);  // any address will do
  ASSERT_TRUE(
      VelkorApi::GetHooks().InstallHook(SimulatedSave::kFunctionKey, otherDetour, &original));
  LoadPlugin();
  EXPECT_EQ(Logged(), std::vector<std::string>{kRefusedLine});
  EXPECT_EQ(CallTarget(), otherDetour);
  UnloadPlugin();
  EXPECT_EQ(CallTarget(), otherDetour) << "the plug-in removes nothing it did not install";
}

TEST_F(EndToEndTest, UnloadDuringASaveLetsTheSaveFinish) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  LoadPlugin();
  const auto saved = StartSaveThatTakes(std::chrono::milliseconds(200));
  UnloadPlugin();
  ASSERT_TRUE(Eventually([&] {
    const auto requests = SimHost::HookRequests();
    return saved->load() && requests.size() == 2 && requests[1].accepted;
  }));
  EXPECT_EQ(sink_->CountOf("error", "Error failed to save!"), 0);
}

// The server exits gracefully while a save runs, with the plug-in still loaded: the exit waits
// for the save (on Windows through the plug-in's exit hook, which must see ExitProcess called
// directly too; on Linux in the unload at exit), also after an unload and a reload, and before
// the program's static objects are destroyed (the save may read them).
// With `shutdownRequestRefused`, the server asks for its shutdown save while that save runs:
// the plug-in refuses it, and the exit saves once more for it.
struct GracefulExit {
  const char* name;
  bool reloadFirst;
  bool exitProcess;
  bool shutdownRequestRefused;
};

void PrintTo(const GracefulExit& way, std::ostream* out) {
  *out << way.name;
}

// One of the program's static objects, which exit() destroys before the process ends.
struct ProgramStatic {
  std::atomic<bool> alive{true};
  ~ProgramStatic() { alive.store(false); }
};
ProgramStatic gProgramStatic;

class GracefulExitTest : public LoadedPluginFixture,
                         public ::testing::WithParamInterface<GracefulExit> {};

// A path the test and its death-test child agree on: on Windows the child runs the test anew.
std::filesystem::path SharedFile(const std::string& name) {
  return std::filesystem::path(::testing::TempDir()) / ("tamsel-" + name);
}

TEST_P(GracefulExitTest, TheSaveItInterruptsIsKept) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const GracefulExit way = GetParam();
  const auto marker = SharedFile(std::string("exit-") + way.name);
  std::filesystem::remove(marker);
  EXPECT_EXIT(
      {
        serverDir_.WriteConfig(R"({"CpuThreads": ""})");
        if (way.reloadFirst) {
          LoadPlugin();
          UnloadPlugin();
        }
        LoadPlugin();
        Gate started;
        Gate release;
        auto* const shutdownRequest = reinterpret_cast<ADravikMode*>(std::uintptr_t{0x5678});
        SimulatedSave::SetBody([&](ADravikMode* gameMode) {
          if (gameMode == shutdownRequest) {
            std::ofstream(marker, std::ios::app) << " and the shutdown request";
            return;
          }
          started.Open();
          release.Wait(std::chrono::milliseconds(500));
          std::ofstream(marker) << (gProgramStatic.alive.load() ? "saved"
                                                                : "saved after static destruction");
        });
        SimulatedSave::Request();
        started.Wait();
        if (way.shutdownRequestRefused) {
          SimulatedSave::Request(shutdownRequest);
          release.Open();
        }
        if (way.exitProcess) SimOs::EndProcess(0);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(marker),
            way.shutdownRequestRefused ? "saved and the shutdown request" : "saved");
}

INSTANTIATE_TEST_SUITE_P(Ways, GracefulExitTest,
                         ::testing::Values(GracefulExit{"Exit", false, false, false},
                                           GracefulExit{"ExitAfterAReload", true, false, false},
                                           GracefulExit{"ExitProcess", false, true, false},
                                           GracefulExit{"ExitDuringARefusal", false, false, true},
                                           GracefulExit{"ExitProcessDuringARefusal", false, true,
                                                        true}),
                         [](const auto& test) { return std::string(test.param.name); });

// The server's routine calls exit() on the save thread: the exit does not wait for the save it
// is part of.
TEST_F(EndToEndTest, ExitInsideTheSaveDoesNotWaitForItself) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto logFile = SharedFile("exit-inside.log");
  std::filesystem::remove(logFile);
  EXPECT_EXIT(
      {
        SimHost::UseConsoleAndFileSinks(logFile.u8string());
        serverDir_.WriteConfig(R"({"CpuThreads": ""})");
        LoadPlugin();
        SimulatedSave::SetBody([](ADravikMode*) { std::exit(7); });
        SimulatedSave::Request();
        std::this_thread::sleep_for(std::chrono::seconds(300));  // the save ends the process
      },
      ::testing::ExitedWithCode(7), "");
  const std::string log = ReadFile(logFile);
  EXPECT_EQ(log.find("did not finish"), std::string::npos) << log;
  EXPECT_EQ(log.find("Waiting for the running world save"), std::string::npos) << log;
}

}  // namespace
