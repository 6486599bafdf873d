#include <regex>

#include "host/VelkorApi.h"
#include "logging/PluginLog.h"
#include "tests/support/PluginFixture.h"

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

TEST(Utf8DecodeTest, ConvertsToUtf16AndReplacesInvalidInput) {
  using VelkorApi::Tools::Utf8Decode;
  const auto units = [](std::initializer_list<unsigned> list) {
    Utf16String text;
    for (unsigned unit : list)
      text.push_back(static_cast<Utf16Char>(unit));
    return text;
  };
  EXPECT_EQ(Utf8Decode(""), units({}));
  EXPECT_EQ(Utf8Decode("0,4,5"), units({'0', ',', '4', ',', '5'}));
  EXPECT_EQ(Utf8Decode("\xC3\xA9\xE2\x82\xAC"), units({0xE9, 0x20AC}));
  EXPECT_EQ(Utf8Decode("\xF0\x9F\x98\x80"), units({0xD83D, 0xDE00})) << "a surrogate pair";
  EXPECT_EQ(Utf8Decode("\xFF"
                       "1"),
            units({0xFFFD, '1'}));
  EXPECT_EQ(Utf8Decode("\xC0\xAF"), units({0xFFFD, 0xFFFD})) << "overlong form";
  EXPECT_EQ(Utf8Decode("\xED\xA0\x80"), units({0xFFFD, 0xFFFD, 0xFFFD})) << "encoded surrogate";
  EXPECT_EQ(Utf8Decode("\xE2\x82"
                       "5"),
            units({0xFFFD, '5'}))
      << "truncated sequence";
  EXPECT_EQ(Utf8Decode("\xF4\x90\x80\x80"), units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}));
  EXPECT_EQ(Utf8Decode("\xE2\x82"), units({0xFFFD})) << "cut off at the end";
}

}  // namespace
