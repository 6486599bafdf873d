#include "config/Config.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "host/EngineContainers.h"
#include "host/VelkorApi.h"
#include "logging/LogText.h"
#include "logging/PluginLog.h"
#include "plugin/SaveWorld.h"

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
      const int index = std::stoi(platform::ToStdWide(entries[i].Text()), nullptr, 10);
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

// Where to open the file. The host's directory text is UTF-8: opened by its Unicode name, a
// folder such as "wé dir" is found on Windows too, where an 8-bit name would be read in the
// system's code page. Text that is not UTF-8 goes to the system as it is, as the host gave it.
std::filesystem::path ConfigFileLocation(const std::string& path) {
  if (!IsWellFormedUtf8(path)) return std::filesystem::path(path);
  return std::filesystem::path(VelkorApi::Tools::Utf8Decode(path));
}

// A configuration needs two levels; the JSON library parses nesting by recursion, so a file of
// a few thousand "[" would overflow the loading thread's stack.
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
      --depth;
    }
  }
}

// The whole file, read only if it is a regular file of a sane size: a FIFO in its place would
// block the server's start for ever, a device would never end. The system's reason for a file
// that cannot be read, rather than the JSON library's view of an empty stream.
std::string ReadConfigText(const std::filesystem::path& location) {
  std::error_code error;
  const auto status = std::filesystem::status(location, error);
  if (error) {
    // In the portable words ("No such file or directory") where there are any: Microsoft's
    // library reports the system's own codes.
    const std::error_condition reason = error.default_error_condition();
    if (reason.category() == std::generic_category()) {
      throw std::system_error(reason.value(), std::generic_category(), "cannot open");
    }
    throw std::system_error(error, "cannot open");
  }
  if (std::filesystem::is_directory(status)) {
    throw std::system_error(std::make_error_code(std::errc::is_a_directory), "cannot read");
  }
  if (!std::filesystem::is_regular_file(status)) {
    throw std::runtime_error("cannot read: not a regular file");
  }
  errno = 0;
  std::ifstream file(location, std::ios::binary);
  if (!file.is_open()) {
    const int reason = errno != 0 ? errno : EIO;
    throw std::system_error(reason, std::generic_category(), "cannot open");
  }
  std::string text;
  char block[4096];
  while (file.read(block, sizeof(block)) || file.gcount() > 0) {
    text.append(block, static_cast<std::size_t>(file.gcount()));
    if (text.size() > kMaxConfigBytes) {
      throw std::runtime_error("larger than " + std::to_string(kMaxConfigBytes) + " bytes");
    }
  }
  CheckNesting(text);
  return text;
}

}  // namespace

std::string ConfigFilePath() {
  return VelkorApi::Tools::GetCurrentDir() + kConfigRelativePath;
}

void SelectProcessors(const EngineString& cpuThreads, std::int32_t hardwareThreads) {
  EngineArray<std::int32_t> accepted;
  EngineArray<EngineString> entries;
  ApplyCpuThreads(cpuThreads, hardwareThreads, entries, accepted);
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
  EngineArray<std::int32_t> accepted;
  const EngineString cpuThreads(VelkorApi::Tools::Utf8Decode(cpuThreadsUtf8).c_str());
  EngineArray<EngineString> entries;
  if (cpuThreads.IsEmpty()) return;
  ApplyCpuThreads(cpuThreads, hardwareThreads, entries, accepted);
}
