#include "config/Config.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "host/EngineContainers.h"
#include "host/VelkorApi.h"
#include "logging/LogText.h"
#include "logging/PluginLog.h"
#include "platform/RegularFile.h"
#include "plugin/SaveState.h"

namespace tamsel {

namespace {

constexpr const char* kConfigRelativePath = "/VelkorApi/Plugins/Tamsel/config.json";
// AffinityMask has one bit per processor, 0 to 63.
constexpr std::int32_t kMaskBits = 64;
constexpr int kMaxNesting = 16;
constexpr std::size_t kMaxConfigBytes = 1 << 20;

// Reads each entry in order. An unreadable entry ends the list; what came before it stays.
void AcceptIndices(const EngineArray<EngineString>& entries, std::int32_t hardwareThreads,
                   EngineArray<std::int32_t>& accepted) {
  const auto& log = PluginLog::Get().GetLog();
  try {
    for (std::int32_t i = 0; i < entries.Count(); ++i) {
      const int index = std::stoi(ToStdWide(entries[i].Text()), nullptr, 10);
      if (index < 0) {
        log->warn("You tried using Cpu Thread #{} but threads are numbered from 0.", index);
      } else if (index >= hardwareThreads) {
        log->warn("You tried using Cpu Thread #{} but the max threads your server supports is {}.",
                  index, hardwareThreads);
      } else if (index >= kMaskBits) {
        log->warn("You tried using Cpu Thread #{} but only threads 0 to {} can be chosen.", index,
                  kMaskBits - 1);
      } else {
        accepted.Add(index);
      }
    }
  } catch (const std::exception&) {
    log->error("Syntax error in CpuThreads Example: 0,4,5");
  }
}

// Splits the list, reads its entries and sets the globals. The caller owns the containers so
// that everything is given back in one order: entries, the text, then the accepted indices.
void ApplyCpuThreads(const EngineString& cpuThreads, std::int32_t hardwareThreads,
                     EngineArray<EngineString>& entries, EngineArray<std::int32_t>& accepted) {
  cpuThreads.Split(entries);
  AcceptIndices(entries, hardwareThreads, accepted);
  if (accepted.Count() == 0 || hardwareThreads <= 0) return;

  const auto& log = PluginLog::Get().GetLog();
  bool announced = AffinityEnabled;
  const std::int32_t processorsWithBits = std::min(hardwareThreads, kMaskBits);
  for (std::int32_t processor = 0; processor < processorsWithBits; ++processor) {
    if (!accepted.Contains(processor)) continue;
    AffinityMask |= std::uint64_t{1} << processor;
    if (!announced) {
      log->info("CPU Affinity Enabled!");
      announced = true;
    }
    log->info("Using CPU Thread[{}]!", processor);
    AffinityEnabled = true;
  }
}

// An optional true/false member of the configuration object; absent, it keeps its default.
// Any other value is refused with a warning that names it, and the default is used.
bool OptionalSwitch(const nlohmann::json& document, const char* name, bool defaultValue) {
  const auto found = document.find(name);
  if (found == document.end()) return defaultValue;
  if (found->is_boolean()) return found->get<bool>();
  PluginLog::Get().GetLog()->warn("\"{}\" in config.json must be true or false; it is left at {}.",
                                  name, defaultValue ? "true" : "false");
  return defaultValue;
}

// An optional number member from `lowest` to `highest` (whole when `whole` is set); absent, it
// keeps its default. Any other value is refused with a warning that names it.
double OptionalNumber(const nlohmann::json& document, const char* name, double defaultValue,
                      double lowest, double highest, bool whole) {
  const auto found = document.find(name);
  if (found == document.end()) return defaultValue;
  if (found->is_number()) {
    const double value = found->get<double>();
    if (value >= lowest && value <= highest && (!whole || std::floor(value) == value)) {
      return value;
    }
  }
  PluginLog::Get().GetLog()->warn(
      "\"{}\" in config.json must be a {} from {} to {}; it is left at {}.", name,
      whole ? "whole number" : "number", lowest, highest, defaultValue);
  return defaultValue;
}

// Where to open the file. The host's directory text is UTF-8: opened by its Unicode name, a
// folder such as "wé dir" is found on Windows too, where an 8-bit name would be read in the
// system's code page. Text that is not UTF-8 goes to the system as it is, as the host gave it.
std::filesystem::path ConfigFileLocation(const std::string& path) {
  if (!IsWellFormedUtf8(path)) return std::filesystem::path(path);
  return std::filesystem::path(VelkorApi::Tools::Utf8Decode(path));
}

// A configuration needs two levels; the JSON library parses nesting by recursion, so a file of
// a few thousand "[" would overflow the loading thread's stack. Only the first value is read:
// what follows it is never parsed, so it is not looked at either.
void CheckNesting(const std::string& text) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) {
        throw std::runtime_error("nested deeper than " + std::to_string(kMaxNesting) + " levels");
      }
    } else if (c == ']' || c == '}') {
      if (--depth <= 0) return;
    }
  }
}

// The whole file, read only if it is a regular file of a sane size: a FIFO in its place would
// block the server's start for ever, a device would never end.
std::string ReadConfigText(const std::filesystem::path& location) {
  std::string text = platform::ReadRegularFile(location, kMaxConfigBytes);
  CheckNesting(text);
  return text;
}

}  // namespace

std::string ConfigFilePath() {
  return VelkorApi::Tools::GetCurrentDir() + kConfigRelativePath;
}

void LoadConfig() {
  LoadConfig(static_cast<std::int32_t>(std::thread::hardware_concurrency()));
}

void LoadConfig(std::int32_t hardwareThreads) {
  std::istringstream text(ReadConfigText(ConfigFileLocation(ConfigFilePath())));
  nlohmann::json document;
  text >> document;
  const std::string cpuThreadsUtf8 = document["CpuThreads"].get<std::string>();
  LogSaveTimes = OptionalSwitch(document, "LogSaveTimes", false);
  LogSaveFaults = OptionalSwitch(document, "LogSaveFaults", false);
  WaitForSaveAtExit = OptionalSwitch(document, "WaitForSaveAtExit", true);
  // Up to a week, and a day: beyond that a limit means no limit.
  StuckSaveMinutes = OptionalNumber(document, "StuckSaveMinutes", 10, 0.001, 7 * 24 * 60, false);
  SaveWaitSeconds =
      static_cast<int>(OptionalNumber(document, "SaveWaitSeconds", 60, 1, 24 * 60 * 60, true));
  EngineArray<std::int32_t> accepted;
  const EngineString cpuThreads(VelkorApi::Tools::Utf8Decode(cpuThreadsUtf8).c_str());
  EngineArray<EngineString> entries;
  if (cpuThreads.IsEmpty()) return;
  ApplyCpuThreads(cpuThreads, hardwareThreads, entries, accepted);
}

}  // namespace tamsel
