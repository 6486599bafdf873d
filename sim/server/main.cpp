// The stand-in dedicated server: loads the host loader's plug-ins, runs a game loop that asks for
// a world save every few seconds through the host, and reports how long its loop stalled.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include <spdlog/logger.h>

#include "host/VelkorApi.h"
#include "platform/RegularFile.h"
#include "sim/host/SimHost.h"
#include "sim/os/DynamicLibrary.h"
#include "sim/os/Files.h"
#include "sim/server/Comparison.h"
#include "sim/server/GameMode.h"
#include "sim/server/Options.h"
#include "sim/server/Report.h"
#include "sim/server/ServerAllocator.h"
#include "sim/server/ServerLog.h"

namespace {

using Clock = std::chrono::steady_clock;
using SaveWorldFunction = void (*)(ADravikMode*);

constexpr const char* kSaveWorldKey = "ADravikMode.SaveWorld";

using SimServer::ServerLog;

// Loads every <Name>/<Name>.so (or .dll) below the host's plug-in folder, as a host loader does.
// Every folder that is not loaded gets a line saying why.
std::vector<std::unique_ptr<SimOs::DynamicLibrary>> LoadPlugins(
    const std::filesystem::path& serverDir, bool& anyLoaded) {
  std::vector<std::unique_ptr<SimOs::DynamicLibrary>> plugins;
  const auto folder = serverDir / "VelkorApi" / "Plugins";
  std::error_code error;
  if (!std::filesystem::is_directory(tamsel::platform::LongPathForm(folder), error)) {
    ServerLog()->warn("No plug-in folder at {}{}", folder.u8string(),
                      error ? ": " + error.message() : std::string());
    return plugins;
  }
  std::vector<std::filesystem::path> candidates;
  try {
    for (const auto& name : SimOs::SubfolderNames(folder))
      candidates.push_back(folder / name);
  } catch (const std::exception& failure) {
    ServerLog()->warn("Cannot read the plug-in folder: {}", failure.what());
  }
  std::sort(candidates.begin(), candidates.end());
  for (const auto& pluginDir : candidates) {
    const auto name = pluginDir.filename().u8string();
    const auto file =
        pluginDir / std::filesystem::u8path(name + SimOs::DynamicLibrary::FileSuffix());
    std::error_code missing;
    if (!std::filesystem::exists(tamsel::platform::LongPathForm(file), missing)) {
      ServerLog()->warn("Skipping {}: no {} in it{}", pluginDir.u8string(),
                        file.filename().u8string(), missing ? " (" + missing.message() + ")" : "");
      continue;
    }
    try {
      plugins.push_back(std::make_unique<SimOs::DynamicLibrary>(file));
      ServerLog()->info("Loaded plug-in {}", name);
      anyLoaded = true;
    } catch (const std::exception& failure) {
      ServerLog()->error("Plug-in {} failed to load: {}", name, failure.what());
    }
  }
  return plugins;
}

SimServer::RunSummary RunGameLoop(const SimServer::Options& options, ADravikMode& gameMode) {
  SimServer::RunSummary summary;
  const auto tickPeriod = std::chrono::duration<double>(1.0 / options.tickRate);
  const auto saveInterval = std::chrono::duration<double>(options.saveIntervalSeconds);
  summary.tickBudgetMs = tickPeriod.count() * 1000;

  const auto start = Clock::now();
  gameMode.StartClock(start);
  auto nextTick = start;
  auto lastRequest = start;
  // A save the plug-in accepted starts on its own thread a moment after the request.
  const auto requestSettles = std::max<Clock::duration>(
      std::chrono::milliseconds(250), std::chrono::duration_cast<Clock::duration>(tickPeriod * 5));
  auto nextSave = start + std::chrono::duration_cast<Clock::duration>(saveInterval);
  for (std::uint64_t tick = 0;; ++tick) {
    const auto tickStart = Clock::now();
    const bool saveDue =
        tickStart >= nextSave && (!options.saves || summary.savesAskedFor < *options.saves);
    if (saveDue) {
      ++summary.savesAskedFor;
      nextSave += std::chrono::duration_cast<Clock::duration>(saveInterval);
      lastRequest = tickStart;
      gameMode.NoteSaveRequest();
      try {
        // Always through the host, so that a detour installed on the routine takes the call.
        SimHost::Resolve<SaveWorldFunction>(kSaveWorldKey)(&gameMode);
      } catch (const std::exception&) {
        // The save routine has counted and logged its failure; the game goes on.
      }
    }
    gameMode.GetWorld().Tick(tick);
    const auto tickEnd = Clock::now();
    summary.ticks.push_back({std::chrono::duration<double>(tickStart - start).count(),
                             std::chrono::duration<double, std::milli>(tickEnd - tickStart).count(),
                             saveDue});

    // With a number of saves, the run ends once every one of them has ended and been measured.
    const bool finished =
        options.saves ? summary.savesAskedFor >= *options.saves && !gameMode.SaveRunning() &&
                            tickEnd - lastRequest >= requestSettles
                      : std::chrono::duration<double>(tickEnd - start).count() >= options.seconds;
    if (finished) break;
    nextTick += std::chrono::duration_cast<Clock::duration>(tickPeriod);
    if (nextTick < tickEnd) nextTick = tickEnd;  // late: start the next tick at once
    std::this_thread::sleep_until(nextTick);
  }
  return summary;
}

int Run(const SimServer::Options& options) {
  if (options.verifyFile) {
    std::string problem;
    SimServer::SaveStamp stamp;
    if (SimServer::VerifySave(*options.verifyFile, problem, &stamp)) {
      std::cout << options.verifyFile->u8string() << ": complete, written by save "
                << stamp.saveNumber << " for request " << stamp.requestNumber << "\n";
      return 0;
    }
    std::cerr << options.verifyFile->u8string() << ": " << problem << "\n";
    return 1;
  }
  std::error_code error;
  if (!std::filesystem::is_directory(options.serverDir, error)) {
    std::cerr << "error: the server directory " << options.serverDir.u8string()
              << " does not exist\n";
    return 2;
  }
  const auto serverDir = std::filesystem::absolute(options.serverDir);
  if (!options.compareDirs.empty()) {
    const auto runs = SimServer::ReadComparedRuns(options.compareDirs[0], options.compareDirs[1]);
    SimServer::WriteComparisonSvg(runs.without, runs.with, serverDir / "compare.svg");
    SimServer::WriteComparisonPage(runs.without, runs.with, serverDir / "compare.html");
    std::cout << SimServer::StallSentence(runs.without, runs.with) << "\n"
              << (serverDir / "compare.html").u8string() << "\n";
    return 0;
  }
  // Every report is checked before the run: a run is never lost to an unwritable path.
  const auto csvFile = options.csvFile.empty() ? serverDir / "ticks.csv" : options.csvFile;
  const auto svgFile = options.svgFile.empty() ? serverDir / "ticks.svg" : options.svgFile;
  for (const auto& report :
       {csvFile, svgFile, serverDir / "summary.txt", serverDir / "saves.csv"}) {
    SimServer::CheckWritable(report);
  }

  // The host loader's side: its directory, its log sinks, the server's functions.
  SimHost::SetCurrentDir(serverDir.u8string());  // the host hands its directory over as UTF-8
  SimHost::UseConsoleAndFileSinks((serverDir / "server.log").u8string());
  SimServer::RegisterAllocator();
  SimServer::SaveSettings settings;
  settings.file = serverDir / "world.sav";
  settings.failure = options.failure;
  settings.slowDiskPerChunk = std::chrono::milliseconds(options.slowDiskMsPerMegabyte);
  ServerLog()->info("Building a world of {} MiB", options.worldMegabytes);
  // The world and the plug-ins live until the process ends, as in a real server: a save that
  // runs on while the process exits still reads the world, and the host keeps its plug-ins.
  static auto* const gameMode = new ADravikMode(options.worldMegabytes, settings);
  SimHost::RegisterServerFunction(kSaveWorldKey,
                                  reinterpret_cast<void*>(&ADravikMode::SaveWorldEntry));

  bool pluginsLoaded = false;
  static auto* const plugins = new std::vector<std::unique_ptr<SimOs::DynamicLibrary>>();
  if (options.loadPlugins) *plugins = LoadPlugins(serverDir, pluginsLoaded);

  SimServer::RunSummary summary = RunGameLoop(options, *gameMode);
  summary.pluginsLoaded = pluginsLoaded;

  // The saves of the run; one still running is charted up to here.
  const SimServer::SaveCounts counts = gameMode->Counts();
  summary.savesAccepted = counts.started;
  summary.savesRefused = summary.savesAskedFor - counts.started;
  summary.savesFailed = counts.failed;
  summary.saves = counts.spans;
  summary.worldMegabytes = options.worldMegabytes;
  summary.finalRequest = options.finalSave ? summary.savesAskedFor + 1 : 0;

  if (options.finalSave) {
    // As a real server shuts down: at once, whatever is running, one more save, and the
    // process ends without waiting for it. Whatever waits for it is the plug-in's business.
    ServerLog()->info("Final save asked for (request {}); the server exits", summary.finalRequest);
    gameMode->NoteSaveRequest();
    try {
      SimHost::Resolve<SaveWorldFunction>(kSaveWorldKey)(gameMode);
    } catch (const std::exception&) {
      // Counted and logged by the save routine.
    }
  } else if (!gameMode->SaveRunning()) {
    gameMode->GetWorld().DiscardUnfinishedSave();  // what a crashed save left open
  }

  SimServer::WriteRunReports(summary, csvFile, svgFile, serverDir);
  std::cout << "\n" << SimServer::FormatTable(summary) << std::flush;

  switch (options.exitWith) {
    case SimServer::Options::ExitWith::Exit:
      std::exit(0);
    case SimServer::Options::ExitWith::ExitProcess:
      SimOs::EndProcess(0);
    case SimServer::Options::ExitWith::Return:
      break;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SimServer::Options options;
  try {
    options = SimServer::ParseOptions(SimOs::ProgramArguments(argc, argv));
  } catch (const std::invalid_argument& problem) {
    std::cerr << "error: " << problem.what() << "\n";
    return 2;
  }
  if (options.help) {
    std::cout << SimServer::Usage();
    return 0;
  }
  try {
    return Run(options);
  } catch (const std::exception& failure) {
    std::cerr << "error: " << failure.what() << "\n";
    return 1;
  }
}
