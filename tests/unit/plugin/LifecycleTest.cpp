#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "entry/DllMain.h"

#include "host/VelkorApi.h"
#include "platform/Threads.h"
#include "plugin/Lifecycle.h"
#include "plugin/SaveWorld.h"
#include "sim/host/SimHost.h"
#include "tests/support/Gate.h"
#include "tests/support/PluginFixture.h"
#include "tests/support/TempDir.h"

using namespace tamsel;  // the plug-in's code under test

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

namespace {

using SimHost::HookRequest;

class LifecycleTest : public PluginFixture {
 protected:
  void SetUp() override {
    PluginFixture::SetUp();
    SimHost::SetCurrentDir(serverDir_.Path().string());
    SimulatedSave::Register();
  }
  static void* Detour() { return reinterpret_cast<void*>(&SaveWorldDetour); }
  static void* CallTarget() { return SimHost::CallTarget(kSaveWorldKey).load(); }

  TempDir serverDir_;
};

TEST_F(LifecycleTest, LoadInstallsTheDetourAndUnloadRemovesIt) {
  serverDir_.WriteConfig(R"({"CpuThreads": "0"})");
  PluginLoad();
  EXPECT_EQ(CallTarget(), Detour());
  EXPECT_EQ(reinterpret_cast<void*>(ServerSaveWorld), SimulatedSave::Address());
  EXPECT_TRUE(AffinityEnabled) << "configuration is read before the detour goes in";

  PluginUnload();
  EXPECT_EQ(CallTarget(), SimulatedSave::Address());
  const auto requests = SimHost::HookRequests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[0].kind, HookRequest::Kind::Install);
  EXPECT_EQ(requests[1].kind, HookRequest::Kind::Remove);
  for (const auto& request : requests) {
    EXPECT_EQ(request.functionKey, "ADravikMode.SaveWorld");
    EXPECT_EQ(request.detour, Detour());
    EXPECT_TRUE(request.accepted);
  }
}

#if !defined(_WIN32)
// The guard catches a crash and the server goes on, so the system writes no core file either:
// the warning says what a crash leaves instead.
TEST_F(LifecycleTest, CrashDumpsSayWhatACrashLeavesWhereThereAreNone) {
  serverDir_.WriteConfig(R"({"CpuThreads": "", "CrashDumps": 3})");
  PluginLoad();
  PluginUnload();
  EXPECT_EQ(sink_->Logged(),
            (std::vector<std::string>{
                "warning|\"CrashDumps\" in config.json is for Windows: here a crashed save leaves "
                "no dump and no core file, only its log lines (\"LogSaveFaults\" adds its stack).",
                kActiveLine}));
}
#endif

// Requests keep coming while the plug-in unloads, some of them already past the host's hook:
// once the unload returns, no save runs and none starts, and a reload saves again.
TEST_F(LifecycleTest, UnloadLetsNoNewSaveStartOnceItReturns) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  PluginLoad();
  SimulatedSave::SetBody(
      [](ADravikMode*) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  std::atomic<bool> stop{false};
  std::thread server([&stop] {
    while (!stop.load())
      SaveWorldDetour(nullptr);  // as a call that read the hook before it was removed
  });
  ASSERT_TRUE(Eventually([] { return SimulatedSave::Runs() > 3; }));
  PluginUnload();
  const int runsAtUnload = SimulatedSave::Runs();
  EXPECT_FALSE(tamsel::platform::AnyWorkerInLibrary());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stop = true;
  server.join();
  EXPECT_EQ(SimulatedSave::Runs(), runsAtUnload) << "a save started after the unload";
  EXPECT_FALSE(tamsel::platform::AnyWorkerInLibrary());

  PluginLoad();
  SimulatedSave::Request();
  EXPECT_TRUE(Eventually([&] { return SimulatedSave::Runs() == runsAtUnload + 1; }));
  PluginUnload();
  SimulatedSave::SetBody(nullptr);
}

TEST_F(LifecycleTest, AFailedConfigurationIsLoggedAndLeavesTheServerItsOwnSave) {
  serverDir_.WriteConfig(R"({"CpuThreads": 4})");
  PluginLoad();
  const auto entries = sink_->Entries();
  ASSERT_EQ(entries.size(), 2U);
  EXPECT_EQ(entries[0].level, "error");
  EXPECT_EQ(sink_->Logged().back(), kInactiveLine);
  // Shown with the system's separator throughout.
  const std::string path =
      (std::filesystem::path(serverDir_.Path()) / "VelkorApi/Plugins/Tamsel/config.json")
          .make_preferred()
          .string();
  EXPECT_NE(entries[0].message.find(path), std::string::npos) << entries[0].message;
  EXPECT_NE(entries[0].message.find("type must be string, but is number"), std::string::npos);
  EXPECT_EQ(CallTarget(), SimulatedSave::Address());
  EXPECT_TRUE(SimHost::HookRequests().empty()) << "no detour after a failed configuration";
  EXPECT_FALSE(AffinityEnabled);

  // The unload still asks once, with the same key and detour; the refusal goes unnoticed.
  PluginUnload();
  const auto requests = SimHost::HookRequests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].kind, HookRequest::Kind::Remove);
  EXPECT_EQ(requests[0].functionKey, "ADravikMode.SaveWorld");
  EXPECT_EQ(requests[0].detour, Detour());
  EXPECT_FALSE(requests[0].accepted);
  EXPECT_EQ(sink_->Entries().size(), 2U);
}

// The refusal is said, so that the load line never claims the saves moved.
TEST_F(LifecycleTest, ARefusedDetourIsSaidAndLeavesTheServerItsRoutine) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  // Another plug-in already holds the function, so the host refuses this one.
  void* other = SimulatedSave::Address();
  void* original = nullptr;
  ASSERT_TRUE(VelkorApi::GetHooks().InstallHook(kSaveWorldKey, other, &original));
  PluginLoad();
  EXPECT_EQ(sink_->Logged(), std::vector<std::string>{kRefusedLine});
  EXPECT_EQ(CallTarget(), other);
  EXPECT_EQ(ServerSaveWorld, nullptr);
  EXPECT_FALSE(SimHost::HookRequests().back().accepted);
}

// At process termination every other thread is already gone, perhaps inside a sink or the
// host's hook table with its lock held, perhaps in the middle of a save: the detach asks the
// host for nothing and waits for nothing. (A save is running, so an ordinary detach would wait
// for it and log that it does, on either spdlog line.)
TEST_F(LifecycleTest, DetachAtProcessTerminationTakesNoSinkLock) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  PluginLoad();
  Gate saveRuns;
  Gate release;
  SimulatedSave::SetBody([&](ADravikMode*) {
    saveRuns.Open();
    release.Wait();
  });
  SimulatedSave::Request();
  ASSERT_TRUE(saveRuns.Wait());
  std::atomic<bool> detached{false};
  std::unique_lock<std::mutex> sinkHeld(sink_->Lock());
  const auto hookRequests = SimHost::HookRequests().size();
  std::thread detach([&detached] {
    DllMain(nullptr, DLL_PROCESS_DETACH, reinterpret_cast<LPVOID>(1));
    detached = true;
  });
  const bool finished = Eventually([&] { return detached.load(); }, std::chrono::seconds(5));
  sinkHeld.unlock();
  detach.join();
  release.Open();
  EXPECT_TRUE(finished) << "the detach waited for a sink's lock or for the save";
  EXPECT_EQ(SimHost::HookRequests().size(), hookRequests) << "the host's lock may be held";
  EXPECT_TRUE(Eventually([] { return !SaveInProgress.load(); }));
  EXPECT_TRUE(tamsel::platform::WaitForWorkersToLeave(std::chrono::seconds(20)));
  SimulatedSave::SetBody(nullptr);
  PluginUnload();
}

// Thread notifications reach DllMain for every thread of the server, the save workers among
// them: they change nothing, even while a save runs.
TEST_F(LifecycleTest, DllMainIgnoresThreadNotifications) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  ASSERT_EQ(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), TRUE);
  Gate release;
  SimulatedSave::SetBody([&release](ADravikMode*) { release.Wait(); });
  SimulatedSave::Request();
  const auto requestsBefore = SimHost::HookRequests().size();
  EXPECT_EQ(DllMain(nullptr, DLL_THREAD_ATTACH, nullptr), TRUE);
  EXPECT_EQ(DllMain(nullptr, DLL_THREAD_DETACH, nullptr), TRUE);
  EXPECT_TRUE(SaveInProgress.load());
  EXPECT_EQ(SimHost::HookRequests().size(), requestsBefore);
  EXPECT_EQ(sink_->Logged(), std::vector<std::string>{kActiveLine});
  release.Open();
  ASSERT_TRUE(Eventually([] { return !SaveInProgress.load(); }));
  EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr), TRUE);
  EXPECT_EQ(CallTarget(), SimulatedSave::Address());
}

}  // namespace
