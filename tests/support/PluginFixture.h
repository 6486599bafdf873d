#pragma once

#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "plugin/SaveWorld.h"
#include "tests/support/CaptureSink.h"

// A process with the stand-in host, the server's allocator, a fresh plug-in logger over one
// capturing sink, and the plug-in's globals as they are at load.
class PluginFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::shared_ptr<CaptureSink> sink_;
};

// The same, with a simulated "ADravikMode.SaveWorld" whose body each test sets, and the
// plug-in's detour installed over it through the host.
class SaveFixture : public PluginFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // What the server's own save routine does when it runs.
  static void SetSaveBody(std::function<void(ADravikMode*)> body);
  // How many times the server's routine has been entered.
  static int SaveRuns();
  // The server asks for a save, as it would, through the host's dispatch slot.
  static void RequestSave(ADravikMode* gameMode = nullptr);
  // Waits until no save is running and no worker thread is left in the plug-in's code.
  static bool WaitUntilIdle();
};

inline constexpr const char* kSaveWorldKey = "ADravikMode.SaveWorld";
