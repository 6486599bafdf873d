#include "tests/support/LoadedPluginFixture.h"

#include "host/VelkorApi.h"
#include "sim/host/SimHost.h"
#include "sim/server/ServerAllocator.h"

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
  plugin_ = std::make_unique<platform::DynamicLibrary>(TAMSEL_PLUGIN_FILE);
}

void LoadedPluginFixture::UnloadPlugin() {
  if (plugin_) plugin_->Unload();
  plugin_.reset();
}

void* LoadedPluginFixture::CallTarget() {
  return SimHost::CallTarget(SimulatedSave::kFunctionKey).load();
}
