#include "tests/support/LoadedPluginFixture.h"

#include <thread>

#include "host/VelkorApi.h"
#include "sim/host/SimHost.h"
#include "sim/server/ServerAllocator.h"
#include "tests/support/Gate.h"

void LoadedPluginFixture::SetUp() {
  SimHost::Reset();
  SimServer::RegisterAllocator();
  SimServer::ClearAllocatorRecord();
  SimulatedSave::Register();
  SimHost::SetCurrentDir(serverDir_.Path().string());
  sink_ = std::make_shared<CaptureSink>();
  GetLogSinks().clear();
  GetLogSinks().push_back(sink_);
}

void LoadedPluginFixture::TearDown() {
  UnloadPlugin();
  EXPECT_EQ(SimServer::LiveBlockCount(), 0U);
  EXPECT_EQ(SimServer::InvalidReleaseCount(), 0U);
  SimulatedSave::SetBody(nullptr);
  GetLogSinks().clear();
}

void LoadedPluginFixture::LoadPlugin() {
  plugin_ = std::make_unique<SimOs::DynamicLibrary>(TAMSEL_PLUGIN_FILE);
  // UnloadPlugin's wait relies on this seeing the library.
  EXPECT_TRUE(SimOs::DynamicLibrary::IsLoaded(TAMSEL_PLUGIN_FILE));
}

void LoadedPluginFixture::UnloadPlugin() {
  ReleasePlugin();
  EXPECT_TRUE(Eventually([] { return !SimOs::DynamicLibrary::IsLoaded(TAMSEL_PLUGIN_FILE); }))
      << "the plug-in is still loaded";
}

void LoadedPluginFixture::ReleasePlugin() {
  if (plugin_) plugin_->Unload();
  plugin_.reset();
}

std::shared_ptr<std::atomic<bool>> LoadedPluginFixture::StartSaveThatTakes(
    std::chrono::milliseconds duration) {
  auto saved = std::make_shared<std::atomic<bool>>(false);
  auto started = std::make_shared<Gate>();
  SimulatedSave::SetBody([saved, started, duration](ADravikMode*) {
    started->Open();
    std::this_thread::sleep_for(duration);
    *saved = true;
  });
  SimulatedSave::Request();
  EXPECT_TRUE(started->Wait()) << "the save did not start";
  return saved;
}

void* LoadedPluginFixture::CallTarget() {
  return SimHost::CallTarget(SimulatedSave::kFunctionKey).load();
}

std::shared_ptr<spdlog::logger> LoadedPluginFixture::HostLogger(const std::string& name) {
  return std::make_shared<spdlog::logger>(name, GetLogSinks().begin(), GetLogSinks().end());
}
