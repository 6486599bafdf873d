#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "sim/server/Options.h"
#include "sim/server/Report.h"
#include "sim/server/World.h"
#include "tests/support/TempDir.h"

namespace {

using SimServer::ParseOptions;

TEST(ServerOptionsTest, ReadsEveryOptionAndRefusesBadOnesClearly) {
  const auto options = ParseOptions({"--dir", "srv", "--saves", "3", "--save-interval", "0.5",
                                     "--world-mb", "8", "--fail", "crash", "--no-plugins"});
  EXPECT_EQ(options.serverDir, "srv");
  EXPECT_EQ(options.saves, 3);
  EXPECT_DOUBLE_EQ(options.saveIntervalSeconds, 0.5);
  EXPECT_EQ(options.worldMegabytes, 8U);
  EXPECT_EQ(options.failure, SimServer::SaveFailure::Crash);
  EXPECT_FALSE(options.loadPlugins);

  const std::vector<std::vector<std::string>> bad = {
      {"--world-mb", "0"},    {"--world-mb", "1.5"},   {"--saves", "many"},
      {"--tick-rate", "nan"}, {"--fail", "sometimes"}, {"--dir"},
      {"--frobnicate"},       {"--seconds", "1e9"}};
  for (const auto& arguments : bad) {
    EXPECT_THROW(ParseOptions(arguments), std::invalid_argument) << arguments[0];
  }
}

TEST(WorldSaveTest, ASaveLoadsBackAndDamageIsFound) {
  TempDir dir;
  const auto file = dir.Path() / "world.sav";
  SimServer::World world(3);
  world.Tick(1);
  world.Save(file, nullptr, nullptr);
  std::string problem;
  ASSERT_TRUE(SimServer::VerifySave(file, problem)) << problem;
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));

  const auto size = std::filesystem::file_size(file);
  {
    std::fstream edit(file, std::ios::in | std::ios::out | std::ios::binary);
    edit.seekp(static_cast<std::streamoff>(size / 2));
    edit.put('\x5A');
  }
  EXPECT_FALSE(SimServer::VerifySave(file, problem));
  EXPECT_NE(problem.find("checksum"), std::string::npos) << problem;

  world.Save(file, nullptr, nullptr);
  std::filesystem::resize_file(file, size - 100);
  EXPECT_FALSE(SimServer::VerifySave(file, problem));
  EXPECT_NE(problem.find("cut off"), std::string::npos) << problem;
}

TEST(WorldSaveTest, AFailedSaveLeavesTheLastGoodOneInPlace) {
  TempDir dir;
  const auto file = dir.Path() / "world.sav";
  SimServer::World world(2);
  world.Save(file, nullptr, nullptr);
  const auto good = ReadFile(file);
  world.Tick(7);
  auto failAfterFirstChunk = [](void*) { throw std::runtime_error("disk gone"); };
  EXPECT_THROW(world.Save(file, failAfterFirstChunk, nullptr), std::runtime_error);
  EXPECT_EQ(ReadFile(file), good);
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));
}

TEST(ServerReportTest, LongestAndPercentileTicks) {
  SimServer::RunSummary summary;
  for (int i = 1; i <= 100; ++i)
    summary.ticks.push_back({i * 0.01, double(i), i == 50});
  EXPECT_DOUBLE_EQ(SimServer::LongestTickMs(summary), 100);
  EXPECT_DOUBLE_EQ(SimServer::PercentileTickMs(summary, 99), 99);
  EXPECT_DOUBLE_EQ(SimServer::PercentileTickMs(summary, 50), 51);
  EXPECT_DOUBLE_EQ(SimServer::PercentileTickMs(SimServer::RunSummary{}, 99), 0);
}

}  // namespace
