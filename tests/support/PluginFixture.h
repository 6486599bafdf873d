#pragma once

#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "plugin/SaveWorld.h"
#include "tests/support/CaptureSink.h"
#include "tests/support/SimulatedSave.h"

inline constexpr const char* kSaveWorldKey = SimulatedSave::kFunctionKey;

// A process with the stand-in host, the server's allocator, a fresh plug-in logger over one
// capturing sink, and the plug-in's globals as they are at load.
class PluginFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::shared_ptr<CaptureSink> sink_;
};

// The same, with the simulated "ADravikMode.SaveWorld" and the plug-in's detour installed over
// it through the host.
class SaveFixture : public PluginFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  static void SetSaveBody(std::function<void(ADravikMode*)> body) {
    SimulatedSave::SetBody(std::move(body));
  }
  static int SaveRuns() { return SimulatedSave::Runs(); }
  static void RequestSave(ADravikMode* gameMode = nullptr) { SimulatedSave::Request(gameMode); }
  // Waits until no save is running and no worker thread is left in the plug-in's code.
  static bool WaitUntilIdle();
};
