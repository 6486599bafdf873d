#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/Config.h"
#include "host/EngineContainers.h"
#include "host/VelkorApi.h"
#include "plugin/SaveWorld.h"
#include "sim/host/SimHost.h"
#include "sim/server/ServerAllocator.h"
#include "tests/support/PluginFixture.h"
#include "tests/support/TempDir.h"

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
std::string BeyondMask(int index) {
  return "warning|You tried using Cpu Thread #" + std::to_string(index) +
         " but only threads 0 to 63 can be chosen.";
}

class ConfigTest : public PluginFixture {
 protected:
  void TearDown() override {
    EXPECT_EQ(SimServer::LiveBlockCount(), 0U) << "an engine block leaked";
    PluginFixture::TearDown();
  }

  std::vector<std::string> Logged() { return sink_->Logged(); }

  void Select(const std::string& cpuThreads, int hardwareThreads) {
    const Utf16String text = VelkorApi::Tools::Utf8Decode(cpuThreads);
    const EngineString string(text.c_str());
    SelectProcessors(string, hardwareThreads);
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
      {"-1", {}, 0},
      {"-1,2", {kEnabled, Using(2)}, 4},
      {"7,8,2147483647,-2147483648",
       {TooLarge(8, 8), TooLarge(2147483647, 8), kEnabled, Using(7)},
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
  EXPECT_EQ(Logged(), (std::vector<std::string>{kEnabled, Using(0)}));
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

TEST_F(ConfigTest, JsonErrorsLeaveLoadConfigWithNothingLoggedOrChanged) {
  struct Case {
    const char* content;  // null: no file at all
    int id;
    std::string message;
  };
  const std::vector<Case> cases = {
      {nullptr, 101, "parse_error"},
      {"", 101, "parse_error"},
      {"{\"CpuThreads\": ", 101, "parse_error"},
      {"[1, 2]", 305, "cannot use operator[] with a string argument with array"},
      {"\"0,1\"", 305, "cannot use operator[] with a string argument with string"},
      {"null", 302, "type must be string, but is null"},
      {"{}", 302, "type must be string, but is null"},
      {"{\"cputhreads\": \"0\"}", 302, "type must be string, but is null"},
      {"{\"CpuThreads\": 5}", 302, "type must be string, but is number"},
      {"{\"CpuThreads\": [0, 1]}", 302, "type must be string, but is array"},
      {"{\"CpuThreads\": 1e999}", 406, "number overflow"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content ? c.content : "(no file)");
    SetUp();
    TempDir dir;
    SimHost::SetCurrentDir(dir.Path().string());
    if (c.content != nullptr) dir.WriteConfig(c.content);
    AffinityMask = 0x10;  // whatever it held must stay
    try {
      LoadConfig();
      ADD_FAILURE() << "no exception";
    } catch (const nlohmann::json::exception& error) {
      EXPECT_EQ(error.id, c.id);
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
    EXPECT_TRUE(Logged().empty());
    EXPECT_EQ(AffinityMask, 0x10U);
    EXPECT_FALSE(AffinityEnabled);
  }
}

}  // namespace
