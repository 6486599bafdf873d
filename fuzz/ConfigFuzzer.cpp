// Feeds arbitrary bytes to the configuration reader as config.json, with a hardware thread
// count from 0 to 256. Input: an optional first line with that count in decimal (8 without
// one), then the file's content.
//
// Fails on: a crash, an exception other than the JSON library's documented ones, an engine block
// not given back or given back twice, a log line that is not one of the plug-in's own, and
// processor choices that disagree with the count.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <nlohmann/json.hpp>

#include "config/Config.h"
#include "host/VelkorApi.h"
#include "logging/PluginLog.h"
#include "plugin/SaveWorld.h"
#include "sim/host/LineSink.h"
#include "sim/host/SimHost.h"
#include "sim/server/ServerAllocator.h"

using namespace tamsel;  // the plug-in's code under test

namespace {

class RecordingSink : public LineSink {
 public:
  std::vector<std::string> messages;

 protected:
  void Write(std::string /*line*/, std::string text) override {
    messages.push_back(std::move(text));
  }
};

std::shared_ptr<RecordingSink> gSink;
std::filesystem::path gConfigFile;

bool IsOwnMessage(const std::string& message) {
  static const std::regex kOwnMessages(
      R"(You tried using Cpu Thread #\d+ but the max threads your server supports is \d+\.)"
      R"(|You tried using Cpu Thread #-\d+ but threads are numbered from 0\.)"
      R"(|You tried using Cpu Thread #\d+ but only threads 0 to 63 can be chosen\.)"
      R"(|Syntax error in CpuThreads Example: 0,4,5)"
      R"(|CPU Affinity Enabled!)"
      R"(|Using CPU Thread\[\d+\]!)"
      R"re(|"(LogSaveTimes|LogSaveFaults)" in config\.json must be true or false; )re"
      R"(it is left at false\.)"
      R"re(|"WaitForSaveAtExit" in config\.json must be true or false; it is left at true\.)re"
      R"re(|"(StuckSaveMinutes|SaveWaitSeconds|CrashDumps)" in config\.json must be a )re"
      R"((whole )?number from [0-9.]+ to \d+; it is left at [0-9.]+\.)"
      R"re(|"[\s\S]*" in config\.json is not a setting( \(did you mean "\w+"\?\))?; )re"
      R"(it is ignored\.)");
  return std::regex_match(message, kOwnMessages);
}

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "config fuzzer: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const auto serverDir = std::filesystem::temp_directory_path() /
                         ("tamsel-fuzz-" + std::to_string(std::random_device{}()));
  gConfigFile = serverDir / "VelkorApi" / "Plugins" / "Tamsel" / "config.json";
  std::filesystem::create_directories(gConfigFile.parent_path());
  SimHost::Reset();
  SimHost::SetCurrentDir(serverDir.string());
  SimServer::RegisterAllocator();
  gSink = std::make_shared<RecordingSink>();
  GetLogSinks().clear();
  GetLogSinks().push_back(gSink);
  PluginLog::Get().Init("Tamsel");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  int hardwareThreads = 8;
  const auto newline = input.find('\n');
  if (newline != std::string::npos && newline > 0 && newline <= 4 &&
      input.find_first_not_of("0123456789") == newline) {
    hardwareThreads = std::stoi(input.substr(0, newline)) % 257;
    input.erase(0, newline + 1);
  }
  {
    std::ofstream file(gConfigFile, std::ios::binary | std::ios::trunc);
    file << input;
  }

  AffinityEnabled = false;
  AffinityMask = 0;
  LogSaveTimes = false;
  LogSaveFaults = false;
  WaitForSaveAtExit = true;
  gSink->messages.clear();
  try {
    LoadConfig(hardwareThreads);
  } catch (const nlohmann::json::parse_error&) {
  } catch (const nlohmann::json::type_error&) {
  } catch (const nlohmann::json::out_of_range&) {
  } catch (const std::runtime_error& refused) {
    const std::string reason = refused.what();
    Check(reason.rfind("nested deeper than", 0) == 0 ||
              reason == "it has no \"CpuThreads\" member" ||
              reason.rfind("[json.exception.parse_error.101] parse error at line ", 0) == 0,
          "an unknown refusal");
  }

  Check(SimServer::LiveBlockCount() == 0, "an engine block was not given back");
  Check(SimServer::InvalidReleaseCount() == 0, "an engine block was given back twice");
  for (const auto& message : gSink->messages)
    Check(IsOwnMessage(message), "a foreign log line");
  Check(AffinityEnabled == (AffinityMask != 0), "AffinityEnabled disagrees with the mask");
  const int usable = hardwareThreads < 64 ? hardwareThreads : 64;
  Check(usable == 64 || (AffinityMask >> usable) == 0, "a processor beyond the machine");
  SimServer::ClearAllocatorRecord();
  return 0;
}
