#include "tests/support/PluginFixture.h"

#include "host/VelkorApi.h"
#include "logging/PluginLog.h"
#include "platform/Threads.h"
#include "sim/host/SimHost.h"
#include "sim/server/ServerAllocator.h"
#include "tests/support/Gate.h"

using namespace tamsel;  // the plug-in's code under test

void PluginFixture::SetUp() {
  SimHost::Reset();
  SimServer::RegisterAllocator();
  SimServer::ClearAllocatorRecord();
  sink_ = std::make_shared<CaptureSink>();
  GetLogSinks().clear();
  GetLogSinks().push_back(sink_);
  PluginLog::Get().Init("Tamsel");
  ResetSaveState();
  ServerSaveWorld = nullptr;
  AffinityEnabled = false;
  AffinityMask = 0;
  LogSaveTimes = false;
  LogSaveFaults = false;
  WaitForSaveAtExit = true;
  StuckSaveMinutes = 10;
  SaveWaitSeconds = 60;
}

void PluginFixture::TearDown() {
  EXPECT_EQ(SimServer::InvalidReleaseCount(), 0U) << "a block was released twice or not ours";
  GetLogSinks().clear();
}

void SaveFixture::SetUp() {
  PluginFixture::SetUp();
  SimulatedSave::Register();
  ASSERT_TRUE(VelkorApi::GetHooks().InstallHook(kSaveWorldKey,
                                                reinterpret_cast<void*>(&SaveWorldDetour),
                                                reinterpret_cast<void**>(&ServerSaveWorld)));
}

void SaveFixture::TearDown() {
  EXPECT_TRUE(WaitUntilIdle()) << "a save was still running at the end of the test";
  VelkorApi::GetHooks().RemoveHook(kSaveWorldKey, reinterpret_cast<void*>(&SaveWorldDetour));
  SetSaveBody(nullptr);
  PluginFixture::TearDown();
}

bool SaveFixture::WaitUntilIdle() {
  return Eventually([] { return !SaveInProgress.load(); }) &&
         tamsel::platform::WaitForWorkersToLeave(std::chrono::seconds(20));
}
