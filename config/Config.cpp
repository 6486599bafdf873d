#include "config/Config.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/VelkorApi.h"
#include "host/engine/EngineContainers.h"
#include "logging/LogText.h"
#include "logging/PluginLog.h"
#include "platform/RegularFile.h"
#include "state/SaveState.h"

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
  try {
    for (std::int32_t i = 0; i < entries.Count(); ++i) {
      const int index = std::stoi(ToStdWide(entries[i].Text()), nullptr, 10);
      if (index < 0) {
        PluginLog::Log([index](spdlog::logger& log) {
          log.warn("You tried using Cpu Thread #{} but threads are numbered from 0.", index);
        });
      } else if (index >= hardwareThreads) {
        PluginLog::Log([index, hardwareThreads](spdlog::logger& log) {
          log.warn("You tried using Cpu Thread #{} but the max threads your server supports is {}.",
                   index, hardwareThreads);
        });
      } else if (index >= kMaskBits) {
        PluginLog::Log([index](spdlog::logger& log) {
          log.warn("You tried using Cpu Thread #{} but only threads 0 to {} can be chosen.", index,
                   kMaskBits - 1);
        });
      } else {
        accepted.Add(index);
      }
    }
  } catch (const std::exception&) {
    PluginLog::Log(
        [](spdlog::logger& log) { log.error("Syntax error in CpuThreads Example: 0,4,5"); });
  }
}

// Splits the list, reads its entries and sets the globals. The caller owns the containers so
// that everything is given back in one order: entries, the text, then the accepted indices.
void ApplyCpuThreads(const EngineString& cpuThreads, std::int32_t hardwareThreads,
                     EngineArray<EngineString>& entries, EngineArray<std::int32_t>& accepted) {
  cpuThreads.Split(entries);
  AcceptIndices(entries, hardwareThreads, accepted);
  if (accepted.Count() == 0 || hardwareThreads <= 0) return;

  bool announced = AffinityEnabled;
  const std::int32_t processorsWithBits = std::min(hardwareThreads, kMaskBits);
  for (std::int32_t processor = 0; processor < processorsWithBits; ++processor) {
    if (!accepted.Contains(processor)) continue;
    AffinityMask |= std::uint64_t{1} << processor;
    if (!announced) {
      PluginLog::Log([](spdlog::logger& log) { log.info("CPU Affinity Enabled!"); });
      announced = true;
    }
    PluginLog::Log(
        [processor](spdlog::logger& log) { log.info("Using CPU Thread[{}]!", processor); });
    AffinityEnabled = true;
  }
}

// An optional true/false member of the configuration object; absent, it keeps its default.
// Any other value is refused with a warning that names it, and the default is used.
bool OptionalSwitch(const nlohmann::json& document, const char* name, bool defaultValue) {
  const auto found = document.find(name);
  if (found == document.end()) return defaultValue;
  if (found->is_boolean()) return found->get<bool>();
  PluginLog::Log([name, defaultValue](spdlog::logger& log) {
    log.warn("\"{}\" in config.json must be true or false; it is left at {}.", name,
             defaultValue ? "true" : "false");
  });
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
  PluginLog::Log([&](spdlog::logger& log) {
    log.warn("\"{}\" in config.json must be a {} from {} to {}; it is left at {}.", name,
             whole ? "whole number" : "number", lowest, highest, defaultValue);
  });
  return defaultValue;
}

// Where to open the file. The host's directory text is UTF-8: opened by its Unicode name, a
// folder such as "wé dir" is found on Windows too, where an 8-bit name would be read in the
// system's code page. Text that is not UTF-8 goes to the system as it is, as the host gave it.
std::filesystem::path ConfigFileLocation(const std::string& path) {
  if (!IsWellFormedUtf8(path)) return std::filesystem::path(path);
  return std::filesystem::path(VelkorApi::Tools::Utf8Decode(path));
}

// The largest double, for a number beyond a double's range.
constexpr const char* kLargestNumber = "1.7976931348623157e308";

// The end of the JSON number that starts at `start`, by the JSON grammar's characters.
std::size_t NumberEnd(const std::string& text, std::size_t start) {
  std::size_t end = start;
  while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) != 0 ||
                               std::strchr("+-.eE", text[end]) != nullptr)) {
    ++end;
  }
  return end;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, the JSON grammar's number, whole.
bool IsJsonNumber(const std::string& number) {
  std::size_t at = 0;
  const auto digits = [&number, &at] {
    const std::size_t first = at;
    while (at < number.size() && std::isdigit(static_cast<unsigned char>(number[at])) != 0)
      ++at;
    return at > first;
  };
  if (at < number.size() && number[at] == '-') ++at;
  if (at < number.size() && number[at] == '0') {
    ++at;
  } else if (!digits()) {
    return false;
  }
  if (at < number.size() && number[at] == '.' && (++at, !digits())) return false;
  if (at < number.size() && (number[at] == 'e' || number[at] == 'E')) {
    ++at;
    if (at < number.size() && (number[at] == '+' || number[at] == '-')) ++at;
    if (!digits()) return false;
  }
  return at == number.size();
}

// A number beyond a double's range (1e400) would end the whole parse with "number overflow";
// read as the largest double of its sign, it is one member's value out of range like any other.
// Only a valid number: "5e" or "--5" stays as it is, for the parser to refuse.
void ClampOverflowingNumber(std::string& text, std::size_t start, std::size_t end) {
  const std::string number = text.substr(start, end - start);
  if (!IsJsonNumber(number)) return;
  std::istringstream reader(number);
  reader.imbue(std::locale::classic());
  double value = 0;
  reader >> value;
  if (!reader.fail() && std::isfinite(value)) return;
  // Out of range: beyond a double's range only when the number is large (libraries differ in
  // what they store, and in whether a tiny number such as 1e-400 fails too).
  const std::size_t exponentAt = number.find_first_of("eE");
  const std::string mantissa = number.substr(0, exponentAt);
  const std::size_t firstDigit = mantissa.find_first_of("123456789");
  if (firstDigit == std::string::npos) return;  // zero
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  long long magnitude = static_cast<long long>(point) - static_cast<long long>(firstDigit);
  if (exponentAt != std::string::npos) {
    // Clamped, so that the sum cannot overflow: an exponent this far out decides alone, and the
    // mantissa's digits (at most a file's worth) fall far short of it.
    constexpr long long kFarOut = 1LL << 40;
    magnitude +=
        std::clamp(std::strtoll(number.c_str() + exponentAt + 1, nullptr, 10), -kFarOut, kFarOut);
  }
  if (magnitude <= 0) return;
  text.replace(start, end - start, std::string(value < 0 ? "-" : "") + kLargestNumber);
}

// Made ready for the JSON library, in one pass over the first value. A configuration needs two
// levels; the library parses nesting by recursion, so a file of a few thousand "[" would
// overflow the loading thread's stack. What follows the first value is never parsed, so it is
// not looked at either.
void PrepareConfigText(std::string& text) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
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
    } else if (c == '-' || std::isdigit(static_cast<unsigned char>(c)) != 0) {
      ClampOverflowingNumber(text, i, NumberEnd(text, i));
      i = NumberEnd(text, i) - 1;
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
  PrepareConfigText(text);
  return text;
}

// The JSON library's parse error with the place as line and column (the host's version of the
// library gives a byte offset), counted in the text it read.
std::runtime_error WithLineAndColumn(const nlohmann::json::parse_error& error,
                                     const std::string& text) {
  const std::string what = error.what();
  const std::size_t phrase = what.find("parse error");
  const std::size_t reasonStart = what.find(": ", phrase == std::string::npos ? 0 : phrase);
  if (phrase == std::string::npos || reasonStart == std::string::npos) {
    return std::runtime_error(what);
  }
  // The byte offset counts from 1 and names the character the parser stopped at.
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i + 1 < error.byte && i < text.size(); ++i) {
    column = text[i] == '\n' ? 1 : column + 1;
    line += text[i] == '\n' ? 1 : 0;
  }
  return std::runtime_error(what.substr(0, phrase) + "parse error at line " + std::to_string(line) +
                            ", column " + std::to_string(column) + what.substr(reasonStart));
}

// The members config.json may hold.
constexpr std::array<const char*, 7> kMembers = {
    "CpuThreads",       "LogSaveTimes",    "LogSaveFaults", "WaitForSaveAtExit",
    "StuckSaveMinutes", "SaveWaitSeconds", "CrashDumps"};

// Edits (insertions, removals, changes, letter case aside) that turn one name into the other.
std::size_t EditDistance(const std::string& from, const std::string& to) {
  std::vector<std::size_t> row(to.size() + 1);
  for (std::size_t j = 0; j < row.size(); ++j)
    row[j] = j;
  for (std::size_t i = 1; i <= from.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= to.size(); ++j) {
      const bool same = std::tolower(static_cast<unsigned char>(from[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(to[j - 1]));
      const std::size_t next = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = row[j];
      row[j] = next;
    }
  }
  return row.back();
}

// One warning for each member that is not a setting (a typo such as "CrashDump" would otherwise
// go unnoticed), naming the setting it most resembles where one is close.
void WarnAboutUnknownMembers(const nlohmann::json& document) {
  if (!document.is_object()) return;
  for (auto member = document.begin(); member != document.end(); ++member) {
    const std::string name = member.key();
    if (std::find_if(kMembers.begin(), kMembers.end(),
                     [&name](const char* known) { return name == known; }) != kMembers.end()) {
      continue;
    }
    const char* closest = nullptr;
    std::size_t closestDistance = name.size() / 3 + 2;
    for (const char* known : kMembers) {
      const std::size_t distance = EditDistance(name, known);
      if (distance < closestDistance) {
        closest = known;
        closestDistance = distance;
      }
    }
    const std::string shown = Excerpt(name, 100);
    PluginLog::Log([&shown, closest](spdlog::logger& log) {
      if (closest != nullptr) {
        log.warn("\"{}\" in config.json is not a setting (did you mean \"{}\"?); it is ignored.",
                 shown, closest);
      } else {
        log.warn("\"{}\" in config.json is not a setting; it is ignored.", shown);
      }
    });
  }
}

}  // namespace

std::string ConfigFileShownPath() {
  return ConfigFileLocation(ConfigFilePath()).make_preferred().u8string();
}

std::string ConfigFilePath() {
  return VelkorApi::Tools::GetCurrentDir() + kConfigRelativePath;
}

void LoadConfig() {
  LoadConfig(static_cast<std::int32_t>(std::thread::hardware_concurrency()));
}

void LoadConfig(std::int32_t hardwareThreads) {
  const std::string content = ReadConfigText(ConfigFileLocation(ConfigFilePath()));
  std::istringstream text(content);
  nlohmann::json document;
  try {
    text >> document;
  } catch (const nlohmann::json::parse_error& error) {
    throw WithLineAndColumn(error, content);
  }
  WarnAboutUnknownMembers(document);
  // A document that is not an object is the JSON library's to refuse, with its own words.
  if ((document.is_null() || document.is_object()) &&
      document.find("CpuThreads") == document.end()) {
    throw std::runtime_error("it has no \"CpuThreads\" member");
  }
  const std::string cpuThreadsUtf8 = document["CpuThreads"].get<std::string>();
  LogSaveTimes = OptionalSwitch(document, "LogSaveTimes", false);
  LogSaveFaults = OptionalSwitch(document, "LogSaveFaults", false);
  WaitForSaveAtExit = OptionalSwitch(document, "WaitForSaveAtExit", true);
  // Up to a week, and a day: beyond that a limit means no limit.
  StuckSaveMinutes = OptionalNumber(document, "StuckSaveMinutes", 10, 0.001, 7 * 24 * 60, false);
  SaveWaitSeconds =
      static_cast<int>(OptionalNumber(document, "SaveWaitSeconds", 60, 1, 24 * 60 * 60, true));
  CrashDumps = static_cast<int>(OptionalNumber(document, "CrashDumps", 0, 0, 1000, true));
  EngineArray<std::int32_t> accepted;
  const EngineString cpuThreads(VelkorApi::Tools::Utf8Decode(cpuThreadsUtf8).c_str());
  EngineArray<EngineString> entries;
  if (cpuThreads.IsEmpty()) return;
  ApplyCpuThreads(cpuThreads, hardwareThreads, entries, accepted);
}

}  // namespace tamsel
