#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <spdlog/logger.h>

#include "sim/os/DynamicLibrary.h"
#include "tests/support/CaptureSink.h"
#include "tests/support/SimulatedSave.h"
#include "tests/support/TempDir.h"

// A server process as the plug-in meets it: the stand-in host with the server's allocator and
// its simulated world save registered, a server directory as the host's current directory,
// and the built plug-in library loaded from disk.
class LoadedPluginFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void LoadPlugin();
  // Frees the plug-in as the host does and returns once it has left the process: on Windows a
  // running save's thread keeps its own reference, and the library goes when that thread ends.
  void UnloadPlugin();
  // Frees the host's reference only.
  void ReleasePlugin();

  // Asks for a save that takes `duration`, and returns once it runs; the flag is set when the
  // save has finished.
  std::shared_ptr<std::atomic<bool>> StartSaveThatTakes(std::chrono::milliseconds duration);

  static void* CallTarget();
  // A logger of the host's own over its sinks, with the host's own line pattern.
  static std::shared_ptr<spdlog::logger> HostLogger(const std::string& name = "Host");
  std::vector<std::string> Logged() { return sink_->Logged(); }

  TempDir serverDir_;
  std::shared_ptr<CaptureSink> sink_;
  std::unique_ptr<SimOs::DynamicLibrary> plugin_;
};
