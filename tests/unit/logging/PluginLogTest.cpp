#include <regex>

#include "host/VelkorApi.h"
#include "logging/PluginLog.h"
#include "tests/support/PluginFixture.h"

using namespace tamsel;  // the plug-in's code under test

namespace {

using PluginLogTest = PluginFixture;

TEST_F(PluginLogTest, WritesEachLevelWithThePatternAndFlushesEverySink) {
  auto second = std::make_shared<CaptureSink>();
  GetLogSinks().push_back(second);
  PluginLog::Get().Init("Tamsel");
  auto& log = PluginLog::Get().GetLog();

  log->trace("not shown");
  log->debug("not shown");
  log->info("Using CPU Thread[{}]!", 3);
  log->warn("World Already Saving!");
  log->error("Error failed to save!");

  for (const auto& target : {sink_, second}) {
    const auto lines = target->Lines();
    ASSERT_EQ(lines.size(), 3U);
    const std::regex pattern(
        R"(^(\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d) \[Tamsel\]\[(\w+)\] (.*)\r\n$)");
    const char* levels[] = {"info", "warning", "error"};
    const char* messages[] = {"Using CPU Thread[3]!", "World Already Saving!",
                              "Error failed to save!"};
    for (std::size_t i = 0; i < lines.size(); ++i) {
      std::smatch match;
      ASSERT_TRUE(std::regex_match(lines[i], match, pattern)) << lines[i];
      EXPECT_LE(std::stoi(match[1]), 12);
      EXPECT_LE(std::stoi(match[4]), 23);
      EXPECT_EQ(match[6], levels[i]);
      EXPECT_EQ(match[7], messages[i]);
    }
    EXPECT_EQ(target->Flushes(), 3) << "every written line is flushed at once";
  }
}

TEST_F(PluginLogTest, PlainTextKeepsBracesAndFormatTextFillsArgumentsInOrder) {
  auto& log = PluginLog::Get().GetLog();
  log->warn("{} stays {}");
  log->warn("You tried using Cpu Thread #{} but the max threads your server supports is {}.", 9, 8);
  const auto entries = sink_->Entries();
  ASSERT_EQ(entries.size(), 2U);
  EXPECT_EQ(entries[0].message, "{} stays {}");
  EXPECT_EQ(entries[1].message,
            "You tried using Cpu Thread #9 but the max threads your server supports is 8.");
}

TEST_F(PluginLogTest, SinksAddedAfterInitReceiveNothingAndReinitReplacesTheLogger) {
  auto late = std::make_shared<CaptureSink>();
  GetLogSinks().push_back(late);
  std::weak_ptr<spdlog::logger> first = PluginLog::Get().GetLog();
  PluginLog::Get().GetLog()->info("before");
  EXPECT_TRUE(late->Lines().empty());
  EXPECT_EQ(sink_->Lines().size(), 1U);

  PluginLog::Get().Init("Tamsel");
  EXPECT_TRUE(first.expired()) << "the previous logger is released";
  PluginLog::Get().GetLog()->info("after");
  EXPECT_EQ(late->Lines().size(), 1U);
}

}  // namespace
