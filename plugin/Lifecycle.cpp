#include "plugin/Lifecycle.h"

#include <exception>
#include <filesystem>
#include <string>

#include "config/Config.h"
#include "host/VelkorApi.h"
#include "logging/LogText.h"
#include "logging/PluginLog.h"
#include "platform/CrashDump.h"
#include "platform/FaultGuard.h"
#include "platform/ProcessExit.h"
#include "platform/Threads.h"
#include "plugin/SaveWorld.h"
#include "plugin/UnloadAndExit.h"
#include "state/SaveState.h"

namespace tamsel {

namespace {

constexpr const char* kPluginName = "Tamsel";
constexpr const char* kSaveWorldKey = "ADravikMode.SaveWorld";
constexpr const char* kCrashDumpFolder = "/VelkorApi/Plugins/Tamsel/crashes";

void* SaveWorldDetourAddress() {
  return reinterpret_cast<void*>(&SaveWorldDetour);
}

void EnableCrashDumps() {
  platform::DisableCrashDumps();
  if (CrashDumps <= 0) return;
  if (!platform::CrashDumpsSupported()) {
    PluginLog::Log([](spdlog::logger& log) {
      log.warn(
          "\"CrashDumps\" in config.json is for Windows: here a crashed save leaves no dump and "
          "no core file, only its log lines (\"LogSaveFaults\" adds its stack).");
    });
    return;
  }
  platform::EnableCrashDumps(
      std::filesystem::u8path(VelkorApi::Tools::GetCurrentDir() + kCrashDumpFolder)
          .make_preferred(),
      CrashDumps);
}

void LoadSteps() {
  PluginLog::Get().Init(kPluginName);
  ResetSaveState();
  platform::WatchForks(&ResetSaveStateInForkedChild);
  try {
    LoadConfig();
  } catch (const std::exception& error) {
    // An exception must not leave the library entry: it would take the server down. Without
    // a readable configuration the detour stays out and the server saves as it always did.
    const std::string path = Excerpt(ConfigFileShownPath(), 1000);
    const std::string reason = Excerpt(error.what());
    PluginLog::Log([&](spdlog::logger& log) {
      log.error(
          "Could not load {} ({}); the plug-in stays inactive and the server saves on its own "
          "thread.",
          path, reason);
      log.info("{} {} is inactive: world saves stay on the game thread.", kPluginName,
               TAMSEL_VERSION);
    });
    return;
  }
  EnableCrashDumps();
  // Refused (another plug-in holds the routine), the server keeps its own routine: said, so
  // that the load line never claims what did not happen.
  const bool installed =
      VelkorApi::GetHooks().InstallHook(std::string(kSaveWorldKey), SaveWorldDetourAddress(),
                                        reinterpret_cast<void**>(&ServerSaveWorld));
  if (WaitForSaveAtExit) platform::InterceptProcessExit(&HoldExitForSave);
  PluginLog::Log([installed](spdlog::logger& log) {
    if (installed) {
      log.info("{} {} is active: world saves run off the game thread.", kPluginName,
               TAMSEL_VERSION);
    } else {
      log.warn(
          "{} {} is inactive: the host did not hand it {} (another plug-in may hold it); world "
          "saves stay on the game thread.",
          kPluginName, TAMSEL_VERSION, kSaveWorldKey);
    }
  });
}

}  // namespace

void PluginLoad() {
  LoadSteps();
  // The unload may run on another thread (a save's), which cannot give this one's back.
  platform::ReleaseRuntimeState(false);
}

void PluginUnload(bool processTerminating) {
  // The system has ended every other thread, perhaps inside a sink or the host's hook table
  // with its lock held: touch nothing that could wait for one. A process that ends needs no
  // detour removed.
  if (processTerminating) return;
  VelkorApi::GetHooks().RemoveHook(std::string(kSaveWorldKey), SaveWorldDetourAddress());
  platform::ReleaseProcessExit();
  // What the unload waits for, and how long: plugin/UnloadAndExit.cpp.
  WaitForSaveWorker();
  platform::RestoreFaultHandlers();
  PluginLog::Get().HandBackSinks();
  platform::ReleaseRuntimeState(true);
}

}  // namespace tamsel
