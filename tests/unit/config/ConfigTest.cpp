#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/Config.h"
#include "host/VelkorApi.h"
#include "host/engine/EngineContainers.h"
#include "logging/LogText.h"
#include "plugin/SaveWorld.h"
#include "sim/host/SimHost.h"
#include "sim/server/ServerAllocator.h"
#include "tests/support/OpenFiles.h"
#include "tests/support/PluginFixture.h"
#include "tests/support/TempDir.h"

using namespace tamsel;  // the plug-in's code under test

namespace {

const char* const kEnabled = "info|CPU Affinity Enabled!";
const char* const kSyntaxError = "error|Syntax error in CpuThreads Example: 0,4,5";

std::string Using(int processor) {
  return "info|Using CPU Thread[" + std::to_string(processor) + "]!";
}
std::string TooLarge(long long index, int hardwareThreads) {
  return "warning|You tried using Cpu Thread #" + std::to_string(index) +
         " but the max threads your server supports is " + std::to_string(hardwareThreads) + ".";
}
std::string Negative(long long index) {
  return "warning|You tried using Cpu Thread #" + std::to_string(index) +
         " but threads are numbered from 0.";
}
std::string BeyondMask(int index) {
  return "warning|You tried using Cpu Thread #" + std::to_string(index) +
         " but only threads 0 to 63 can be chosen.";
}

// What subscripting a non-object says. The host's json 3.1.0 words it as "cannot use operator[]
// with array"; later lines put "a string argument with" before the type.
std::string SubscriptError(const std::string& type) {
#if NLOHMANN_JSON_VERSION_MAJOR == 3 && NLOHMANN_JSON_VERSION_MINOR == 1
  return "cannot use operator[] with " + type;
#else
  return "cannot use operator[] with a string argument with " + type;
#endif
}

class ConfigTest : public PluginFixture {
 protected:
  void TearDown() override {
    EXPECT_EQ(SimServer::LiveBlockCount(), 0U) << "an engine block leaked";
    PluginFixture::TearDown();
  }

  std::vector<std::string> Logged() { return sink_->Logged(); }

  // Loads a configuration that holds only this processor list.
  void Select(const std::string& cpuThreads, int hardwareThreads) {
    SimHost::SetCurrentDir(serverDir_.Path().string());
    serverDir_.WriteConfig(nlohmann::json{{"CpuThreads", cpuThreads}}.dump());
    LoadConfig(hardwareThreads);
  }

  TempDir serverDir_;
};

TEST_F(ConfigTest, ProcessorSelectionOnEightHardwareThreads) {
  struct Row {
    std::string cpuThreads;
    std::vector<std::string> lines;
    std::uint64_t mask;
  };
  const std::vector<Row> rows = {
      {"0,4,5", {kEnabled, Using(0), Using(4), Using(5)}, 0x31},
      {"5,0,4,4", {kEnabled, Using(0), Using(4), Using(5)}, 0x31},
      {"0,9", {TooLarge(9, 8), kEnabled, Using(0)}, 1},
      {"9", {TooLarge(9, 8)}, 0},
      {"1,x,2", {kSyntaxError, kEnabled, Using(1)}, 2},
      {",,3,", {kEnabled, Using(3)}, 8},
      {",,,", {}, 0},
      {"   3", {kEnabled, Using(3)}, 8},
      {"3abc", {kEnabled, Using(3)}, 8},
      {"+3", {kEnabled, Using(3)}, 8},
      {" ,1", {kSyntaxError}, 0},
      {"12345678901", {kSyntaxError}, 0},
      {"-1", {Negative(-1)}, 0},
      {"-1,2", {Negative(-1), kEnabled, Using(2)}, 4},
      {"7,8,2147483647,-2147483648",
       {TooLarge(8, 8), TooLarge(2147483647, 8), Negative(-2147483648LL), kEnabled, Using(7)},
       0x80},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("CpuThreads \"" + row.cpuThreads + "\"");
    SetUp();
    Select(row.cpuThreads, 8);
    EXPECT_EQ(Logged(), row.lines);
    EXPECT_EQ(AffinityMask, row.mask);
    EXPECT_EQ(AffinityEnabled, row.mask != 0);
  }
}

TEST_F(ConfigTest, IndicesFromSixtyFourOnAreRefusedNotWrappedAround) {
  Select("65,0,64,127,3,128", 128);
  EXPECT_EQ(Logged(), (std::vector<std::string>{BeyondMask(65), BeyondMask(64), BeyondMask(127),
                                                TooLarge(128, 128), kEnabled, Using(0), Using(3)}));
  EXPECT_EQ(AffinityMask, 0x9U);
  EXPECT_TRUE(AffinityEnabled);

  SetUp();
  Select("63", 256);
  EXPECT_EQ(AffinityMask, std::uint64_t{1} << 63);
}

TEST_F(ConfigTest, NoHardwareThreadCountSelectsNothing) {
  Select("0,1", 0);
  EXPECT_EQ(Logged(), (std::vector<std::string>{TooLarge(0, 0), TooLarge(1, 0)}));
  EXPECT_FALSE(AffinityEnabled);
}

TEST_F(ConfigTest, LoadConfigReadsTheFileBelowTheHostsDirectory) {
  SimHost::SetCurrentDir(serverDir_.Path().string());
  EXPECT_EQ(ConfigFilePath(), serverDir_.Path().string() + "/VelkorApi/Plugins/Tamsel/config.json");

  // A byte-order mark and text after the object are both fine; other members are ignored.
  serverDir_.WriteConfig("\xEF\xBB\xBF{\"Other\": 1, \"CpuThreads\": \"0\"} trailing text");
  LoadConfig();
  EXPECT_EQ(Logged(), (std::vector<std::string>{
                          "warning|\"Other\" in config.json is not a setting; it is ignored.",
                          kEnabled, Using(0)}));
  EXPECT_EQ(AffinityMask, 1U);

  SetUp();
  SimHost::SetCurrentDir(serverDir_.Path().string());
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  LoadConfig();
  EXPECT_TRUE(Logged().empty());
  EXPECT_FALSE(AffinityEnabled);
  EXPECT_TRUE(SimServer::AllocatorCalls().empty()) << "an empty list needs no memory";

  // Every index at or above the machine's count is refused against the real count.
  SetUp();
  SimHost::SetCurrentDir(serverDir_.Path().string());
  const int hardwareThreads = static_cast<int>(std::thread::hardware_concurrency());
  serverDir_.WriteConfig("{\"CpuThreads\": \"" + std::to_string(hardwareThreads) + "\"}");
  LoadConfig();
  EXPECT_EQ(Logged(), (std::vector<std::string>{TooLarge(hardwareThreads, hardwareThreads)}));
}

TEST_F(ConfigTest, ReleasesEverythingInOrder) {
  SimHost::SetCurrentDir(serverDir_.Path().string());
  serverDir_.WriteConfig(R"({"CpuThreads": "0,1"})");
  LoadConfig();
  std::vector<void*> allocated;
  std::vector<void*> released;
  for (const auto& call : SimServer::AllocatorCalls()) {
    if (call.kind == SimServer::AllocatorCall::Kind::Realloc && call.block == nullptr) {
      allocated.push_back(call.result);
    } else if (call.kind == SimServer::AllocatorCall::Kind::Free) {
      released.push_back(call.block);
    }
  }
  // Made: the text, the entries' block, two entries, the accepted indices' block.
  ASSERT_EQ(allocated.size(), 5U);
  // Given back: the two entries, the entries' block, the text, the accepted indices.
  EXPECT_EQ(released, (std::vector<void*>{allocated[2], allocated[3], allocated[1], allocated[0],
                                          allocated[4]}));
}

TEST_F(ConfigTest, OptionalSwitchesAreReadWithoutTouchingTheProcessorList) {
  SimHost::SetCurrentDir(serverDir_.Path().string());
  serverDir_.WriteConfig(R"({"CpuThreads": "0", "LogSaveTimes": true, "LogSaveFaults": false})");
  LoadConfig(8);
  EXPECT_TRUE(LogSaveTimes);
  EXPECT_FALSE(LogSaveFaults);
  EXPECT_EQ(Logged(), (std::vector<std::string>{kEnabled, Using(0)}));

  // Of the wrong type: one warning naming the member, false, and the list read as always.
  SetUp();
  SimHost::SetCurrentDir(serverDir_.Path().string());
  serverDir_.WriteConfig(
      R"({"CpuThreads": "0", "LogSaveFaults": "yes", "LogSaveTimes": 1, "WaitForSaveAtExit": 0})");
  LoadConfig(8);
  EXPECT_FALSE(LogSaveTimes);
  EXPECT_FALSE(LogSaveFaults);
  EXPECT_TRUE(WaitForSaveAtExit);
  EXPECT_EQ(
      Logged(),
      (std::vector<std::string>{
          "warning|\"LogSaveTimes\" in config.json must be true or false; it is left at false.",
          "warning|\"LogSaveFaults\" in config.json must be true or false; it is left at false.",
          "warning|\"WaitForSaveAtExit\" in config.json must be true or false; it is left at "
          "true.",
          kEnabled, Using(0)}));
  EXPECT_EQ(AffinityMask, 1U);

  SetUp();
  SimHost::SetCurrentDir(serverDir_.Path().string());
  serverDir_.WriteConfig(R"({"CpuThreads": "", "WaitForSaveAtExit": false})");
  LoadConfig(8);
  EXPECT_FALSE(WaitForSaveAtExit);
  EXPECT_TRUE(Logged().empty());
}

// The two limits: taken when in range, otherwise one warning each naming the member and its
// range, and the default.
TEST_F(ConfigTest, TheLimitsAreTakenInRangeAndOtherwiseWarnedAbout) {
  struct Case {
    std::string members;
    double stuckMinutes;
    int waitSeconds;
    std::vector<std::string> warnings;
    int crashDumps = 0;
  };
  const std::string stuckWarning =
      "warning|\"StuckSaveMinutes\" in config.json must be a number from 0.001 to 10080; it is "
      "left at 10.";
  const std::string waitWarning =
      "warning|\"SaveWaitSeconds\" in config.json must be a whole number from 1 to 86400; it is "
      "left at 60.";
  const std::vector<Case> cases = {
      {"", 10, 60, {}},
      {R"("StuckSaveMinutes": 0.5, "SaveWaitSeconds": 600)", 0.5, 600, {}},
      {R"("StuckSaveMinutes": "ten", "SaveWaitSeconds": 1.5)", 10, 60, {stuckWarning, waitWarning}},
      {R"("StuckSaveMinutes": -1, "SaveWaitSeconds": 0)", 10, 60, {stuckWarning, waitWarning}},
      {R"("StuckSaveMinutes": 1e400, "SaveWaitSeconds": -1e400)",
       10,
       60,
       {stuckWarning, waitWarning}},
      {R"("StuckSaveMinutes": 1e300, "SaveWaitSeconds": 4294967296)",
       10,
       60,
       {stuckWarning, waitWarning}},
      {R"("StuckSaveMinutes": 4e44444444444444444444, "SaveWaitSeconds": 5)",
       10,
       5,
       {stuckWarning}},
      {R"("CrashDumps": 1000)", 10, 60, {}, 1000},
      {R"("CrashDumps": 2.5)",
       10,
       60,
       {"warning|\"CrashDumps\" in config.json must be a whole number from 0 to 1000; it is left "
        "at 0."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.members);
    SetUp();
    SimHost::SetCurrentDir(serverDir_.Path().string());
    serverDir_.WriteConfig(R"({"CpuThreads": "")" + (c.members.empty() ? "" : ", " + c.members) +
                           "}");
    LoadConfig(8);
    EXPECT_EQ(StuckSaveMinutes, c.stuckMinutes);
    EXPECT_EQ(SaveWaitSeconds, c.waitSeconds);
    EXPECT_EQ(CrashDumps, c.crashDumps);
    EXPECT_EQ(Logged(), c.warnings);
  }
}

// A file that cannot be read says why in the system's words, not as a JSON error.
TEST_F(ConfigTest, AnUnreadableFileRaisesTheSystemsReason) {
  const auto expectFailure = [this](const std::string& situation, std::errc reason) {
    SCOPED_TRACE(situation);
    try {
      LoadConfig();
      ADD_FAILURE() << "no exception";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::make_error_code(reason)) << error.what();
    }
    EXPECT_TRUE(Logged().empty());
    EXPECT_FALSE(AffinityEnabled);
  };
  SimHost::SetCurrentDir(serverDir_.Path().string());
  expectFailure("no file", std::errc::no_such_file_or_directory);

  const auto file = serverDir_.WriteConfig("");
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  expectFailure("a directory where the file should be", std::errc::is_a_directory);
  std::filesystem::remove(file);

  std::error_code noLinks;
  std::filesystem::create_symlink(serverDir_.Path() / "elsewhere.json", file, noLinks);
  if (!noLinks) expectFailure("a link to nothing", std::errc::no_such_file_or_directory);
  std::filesystem::remove(file);

#if !defined(_WIN32)  // under Wine the Linux path is reachable, but not as Linux reads it
  // A regular file whose every read fails.
  std::error_code noProc;
  if (std::filesystem::is_regular_file("/proc/self/mem", noProc)) {
    std::filesystem::create_symlink("/proc/self/mem", file, noLinks);
    if (!noLinks) expectFailure("a file that cannot be read", std::errc::io_error);
  }
#endif
}

// A file swapped for a FIFO between the check and the read never blocks the load: the file
// that is checked is the file that is read, opened without waiting for a writer.
TEST_F(ConfigTest, AFileSwappedForAFifoNeverBlocksTheLoad) {
  SimHost::SetCurrentDir(serverDir_.Path().u8string());
  const auto file = serverDir_.WriteConfig(R"({"CpuThreads": "0"})");
  const auto regular = serverDir_.Path() / "regular.json";
  std::filesystem::copy_file(file, regular);
  const auto fifo = serverDir_.Path() / "fifo";
  if (!MakeFifo(fifo)) GTEST_SKIP() << "no FIFOs on this platform";
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (bool toFifo = true; !stop.load(); toFifo = !toFifo) {
      std::error_code ignored;
      std::filesystem::remove(file, ignored);
      std::filesystem::create_hard_link(toFifo ? fifo : regular, file, ignored);
    }
  });
  int refused = 0;
  for (int load = 0; load < 2000; ++load) {
    try {
      LoadConfig(8);
    } catch (const std::exception&) {
      ++refused;  // not a regular file, or not there at that moment
    }
  }
  stop = true;
  swapper.join();
  EXPECT_LT(refused, 2000) << "never read while it was a regular file";
}

// Files that would crash or hang the server's start are refused before the JSON library sees
// them; nesting inside a string is text, not nesting.
TEST_F(ConfigTest, HostileFilesAreRefusedBeforeParsing) {
  struct Case {
    std::string situation;
    std::string content;  // empty: a FIFO in the file's place
    std::string refusal;  // empty: read like any other file
  };
  const std::vector<Case> cases = {
      {"50,000 levels of arrays", std::string(50000, '['), "nested deeper than 16 levels"},
      {"17 levels of objects", R"({"CpuThreads": "0", "a":)" + std::string(16, '{'),
       "nested deeper than 16 levels"},
      {"brackets inside strings",
       R"({"CpuThreads": "0", "a": "[[[[[[[[[[[[[[[[[[[[\"{{{{{{{{{{{{{{{{{"})", ""},
      {"more than 1 MiB", R"({"CpuThreads": "0", "a": ")" + std::string(1 << 20, 'x') + "\"}",
       "larger than 1048576 bytes"},
      {"a FIFO", "", "cannot read: not a regular file"},
      {"deep nesting after the closing brace, which is never read",
       R"({"CpuThreads": "0"} )" + std::string(17, '['), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    SetUp();
    TempDir dir;
    SimHost::SetCurrentDir(dir.Path().u8string());
    if (c.content.empty()) {
      const auto file = dir.WriteConfig("");
      std::filesystem::remove(file);
      if (!MakeFifo(file)) continue;  // no FIFOs on this platform
    } else {
      dir.WriteConfig(c.content);
    }
    try {
      LoadConfig(8);
      EXPECT_TRUE(c.refusal.empty()) << "taken";
    } catch (const std::runtime_error& refused) {
      EXPECT_EQ(refused.what(), c.refusal);
    }
    EXPECT_EQ(AffinityEnabled, c.refusal.empty());
  }
}

// The host's directory is UTF-8; the file is found under a folder named in any script, and
// under one whose path is longer than Windows' classic limit of 260 characters (opened in the
// long form there; Wine ignores the limit, so only real Windows would fail without it).
TEST_F(ConfigTest, AServerFolderInAnyScriptIsRead) {
  const std::string longFolder(240, 'a');
  for (const char* folder :
       {"w\xC3\xA9 dir", "\xE2\x98\x83", "\xE6\xBC\xA2\xE5\xAD\x97", longFolder.c_str()}) {
    SCOPED_TRACE(folder);
    SetUp();
    TempDir dir;
    const auto serverDir = dir.Path() / std::filesystem::u8path(folder);
    std::filesystem::create_directories(serverDir / "VelkorApi" / "Plugins" / "Tamsel");
    std::ofstream(serverDir / "VelkorApi" / "Plugins" / "Tamsel" / "config.json")
        << R"({"CpuThreads": "0"})";
    SimHost::SetCurrentDir(serverDir.u8string());
    EXPECT_NO_THROW(LoadConfig(8));
    EXPECT_EQ(AffinityMask, 1U);
  }
}

// A missing member is named as missing, not as a null the file never held; a syntax error by
// line and column, whichever version of the JSON library reads the file.
TEST_F(ConfigTest, JsonErrorsLeaveLoadConfigWithNothingLoggedOrChanged) {
  const std::string kNoCpuThreads = "it has no \"CpuThreads\" member";
  const std::string kSyntax = "[json.exception.parse_error.101] parse error at ";
  struct Case {
    const char* content;
    int id;
    std::string message;
    std::vector<std::string> logged = {};
  };
  const std::vector<Case> cases = {
      {"", 0, kSyntax + "line 1, column 1: "},
      {"{\"CpuThreads\": ", 0, kSyntax + "line 1, column 16: "},
      {"{\n  \"CpuThreads\": \"\",\n  \"LogSaveTimes\": tru\n}", 0,
       kSyntax + "line 3, column 22: "},
      {"[1, 2]", 305, SubscriptError("array")},
      {"\"0,1\"", 305, SubscriptError("string")},
      {"null", 0, kNoCpuThreads},
      {"{}", 0, kNoCpuThreads},
      {"{\"cputhreads\": \"0\"}",
       0,
       kNoCpuThreads,
       {"warning|\"cputhreads\" in config.json is not a setting (did you mean \"CpuThreads\"?); "
        "it is ignored."}},
      {"{\"CpuThreads\": 5}", 302, "type must be string, but is number"},
      {"{\"CpuThreads\": [0, 1]}", 302, "type must be string, but is array"},
      {"{\"CpuThreads\": 1e999}", 302, "type must be string, but is number"},
      // Not numbers at all: refused as the file's syntax, never read as a number out of range.
      {"{\"CpuThreads\": \"\", \"SaveWaitSeconds\": 5e}", 0, kSyntax + "line 1, column 41: "},
      {"{\"CpuThreads\": \"\", \"SaveWaitSeconds\": 1E+}", 0, kSyntax + "line 1, column 42: "},
      {"{\"CpuThreads\": \"\", \"SaveWaitSeconds\": --5}", 0, kSyntax + "line 1, column 40: "},
      {"{\"CpuThreads\": \"\", \"SaveWaitSeconds\": -5e}", 0, kSyntax + "line 1, column 42: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    SetUp();
    TempDir dir;
    SimHost::SetCurrentDir(dir.Path().string());
    dir.WriteConfig(c.content);
    AffinityMask = 0x10;  // whatever it held must stay
    try {
      LoadConfig();
      ADD_FAILURE() << "no exception";
    } catch (const nlohmann::json::exception& error) {
      EXPECT_EQ(error.id, c.id);
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(c.id, 0) << error.what();
      const bool syntax = c.message.rfind(kSyntax, 0) == 0;
      EXPECT_EQ(syntax ? std::string(error.what()).substr(0, c.message.size()) : error.what(),
                c.message);
    }
    EXPECT_EQ(Logged(), c.logged);
    EXPECT_EQ(AffinityMask, 0x10U);
    EXPECT_FALSE(AffinityEnabled);
  }
}

// A member that is not a setting is ignored, with one warning naming it and the setting it
// most resembles, if one does; the settings around it are read as usual.
TEST_F(ConfigTest, UnknownMembersAreNamedAndIgnored) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"CrashDump", " (did you mean \"CrashDumps\"?)"},
      {"LogSaveFault", " (did you mean \"LogSaveFaults\"?)"},
      {"savewaitseconds", " (did you mean \"SaveWaitSeconds\"?)"},
      {"Colour", ""},
  };
  for (const auto& [name, suggestion] : cases) {
    SCOPED_TRACE(name);
    SetUp();
    TempDir dir;
    SimHost::SetCurrentDir(dir.Path().string());
    dir.WriteConfig("{\"CpuThreads\": \"1\", \"" + name + "\": 1, \"LogSaveTimes\": true}");
    LoadConfig(8);
    EXPECT_EQ(Logged(),
              (std::vector<std::string>{"warning|\"" + name + "\" in config.json is not a setting" +
                                            suggestion + "; it is ignored.",
                                        kEnabled, Using(1)}));
    EXPECT_TRUE(LogSaveTimes);
  }
}

}  // namespace
