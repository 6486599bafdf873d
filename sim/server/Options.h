#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sim/server/GameMode.h"

namespace SimServer {

struct Options {
  std::filesystem::path serverDir = ".";
  double seconds = 10;
  std::optional<int> saves;  // stop after this many save requests instead of after `seconds`
  double saveIntervalSeconds = 2;
  std::size_t worldMegabytes = 256;
  double tickRate = 30;
  int slowDiskMsPerMegabyte = 0;
  SaveFailure failure = SaveFailure::None;
  bool loadPlugins = true;
  // At the end of the run: one more save through the routine, then the process ends this way,
  // without waiting for the save.
  bool finalSave = true;
  enum class ExitWith { Return, Exit, ExitProcess };
  ExitWith exitWith = ExitWith::Return;
  std::filesystem::path csvFile;  // empty: <server dir>/ticks.csv
  std::filesystem::path svgFile;  // empty: <server dir>/ticks.svg
  std::optional<std::filesystem::path> verifyFile;
  // Two server directories of runs on the same world, one without and one with the plug-in,
  // to chart side by side into the server directory.
  std::vector<std::filesystem::path> compareDirs;
  bool help = false;
};

// Reads the command line; throws std::invalid_argument with a message for the user.
Options ParseOptions(const std::vector<std::string>& arguments);

std::string Usage();

}  // namespace SimServer
