#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/FaultGuard.h"
#include "sim/server/Chart.h"
#include "sim/server/Comparison.h"
#include "sim/server/GameMode.h"
#include "sim/server/Options.h"
#include "sim/server/Report.h"
#include "sim/server/World.h"
#include "tests/support/Faults.h"
#include "tests/support/OpenFiles.h"
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

namespace {

void FaultInTheMiddle(void*) {
  RaiseFault(Fault::NullWrite);
}

TEST(WorldSaveTest, ASaveAFaultEndedIsDiscardedByTheNextSaveAndAtTheEnd) {
  TempDir dir;
  const auto file = dir.Path() / "world.sav";
  const auto temporary = dir.Path() / "world.sav.tmp";
  auto world = std::make_unique<SimServer::World>(2);
  const std::size_t filesBefore = OpenFileCount();
  struct Attempt {
    SimServer::World* world;
    std::filesystem::path file;
  } attempt{world.get(), file};
  for (int i = 0; i < 20; ++i) {
    const auto outcome = tamsel::platform::RunGuarded(
        [](void* context) {
          auto* save = static_cast<Attempt*>(context);
          save->world->Save(save->file, &FaultInTheMiddle, nullptr);
        },
        &attempt);
    ASSERT_EQ(outcome.ending, tamsel::platform::GuardOutcome::Ending::ProcessorFault);
  }
  EXPECT_EQ(OpenFileCount(), filesBefore + 1) << "only the last save's file is open";
  EXPECT_TRUE(std::filesystem::exists(temporary)) << "the last one is still open";

  world->Save(file, nullptr, nullptr);
  std::string problem;
  EXPECT_TRUE(SimServer::VerifySave(file, problem)) << problem;
  EXPECT_FALSE(std::filesystem::exists(temporary));

  tamsel::platform::RunGuarded(
      [](void* context) {
        auto* save = static_cast<Attempt*>(context);
        save->world->Save(save->file, &FaultInTheMiddle, nullptr);
      },
      &attempt);
  world.reset();
  EXPECT_FALSE(std::filesystem::exists(temporary)) << "the exit closes and removes it";
  EXPECT_EQ(OpenFileCount(), filesBefore);
}

// A save that fails for real, here because its temporary file's name is taken by a directory:
// counted and logged as failed, never left running, and raised for the caller.
TEST(GameModeTest, EveryFailedSaveIsSettledWithItsReason) {
  TempDir dir;
  SimServer::SaveSettings settings;
  settings.file = dir.Path() / "world.sav";
  std::filesystem::create_directory(dir.Path() / "world.sav.tmp");
  ADravikMode gameMode(1, settings);
  try {
    gameMode.SaveWorld();
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_NE(std::string(failure.what()).find("cannot create "), std::string::npos);
    EXPECT_NE(std::string(failure.what()).find("world.sav.tmp: "), std::string::npos)
        << failure.what();
  }
  EXPECT_FALSE(gameMode.SaveRunning());
  auto counts = gameMode.Counts();
  EXPECT_EQ(counts.started, 1);
  EXPECT_EQ(counts.failed, 1);
  ASSERT_EQ(counts.spans.size(), 1U);
  EXPECT_FALSE(counts.spans[0].completed);

  std::filesystem::remove(dir.Path() / "world.sav.tmp");
  gameMode.SaveWorld();
  counts = gameMode.Counts();
  EXPECT_EQ(counts.completed, 1);
  ASSERT_EQ(counts.spans.size(), 2U);
  EXPECT_TRUE(counts.spans[1].completed);
}

TEST(ServerReportTest, UnwritableReportPathsAreRefusedAndNothingIsLeftBehind) {
  TempDir dir;
  EXPECT_THROW(SimServer::CheckWritable(dir.Path()), std::runtime_error);
  EXPECT_THROW(SimServer::CheckWritable(dir.Path() / "missing" / "ticks.csv"), std::runtime_error);
  try {
    SimServer::CheckWritable(dir.Path());
  } catch (const std::runtime_error& failure) {
    EXPECT_NE(std::string(failure.what()).find(": "), std::string::npos) << failure.what();
  }
  SimServer::CheckWritable(dir.Path() / "ticks.csv");
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "ticks.csv"));
}

TEST(ServerReportTest, ARunReadsBackAsItWasWritten) {
  TempDir dir;
  SimServer::RunSummary run;
  run.pluginsLoaded = true;
  run.worldMegabytes = 4;
  run.savesAskedFor = 3;
  run.savesAccepted = 2;
  run.savesRefused = 1;
  run.savesFailed = 1;
  run.tickBudgetMs = 20;
  run.ticks = {{0, 0.5, false}, {0.02, 12.25, true}};
  run.saves = {
      {0.02, 0.1, 0.75, true, false}, {1.0, 1.0, 1.5, false, false}, {1.6, 1.62, 1.7, false, true}};
  run.finalRequest = 4;
  SimServer::WriteSummaryFile(run, dir.Path() / "summary.txt");
  SimServer::WriteTicksCsv(run, dir.Path() / "ticks.csv");
  SimServer::WriteSavesCsv(run, dir.Path() / "saves.csv");
  const SimServer::RunSummary read = SimServer::ReadRun(dir.Path());
  EXPECT_EQ(SimServer::FormatTable(read), SimServer::FormatTable(run));
  ASSERT_EQ(read.saves.size(), 3U);
  EXPECT_DOUBLE_EQ(read.saves[1].endedSeconds, 1.5);
  EXPECT_FALSE(read.saves[1].completed);
  EXPECT_TRUE(read.saves[2].running);

  std::ofstream(dir.Path() / "ticks.csv", std::ios::app) << "2,oops\n";
  EXPECT_THROW(SimServer::ReadRun(dir.Path()), std::runtime_error);
}

}  // namespace

namespace {

// A run written by the server itself, then one line of one of its files replaced.
struct BadRunInput {
  const char* file;
  const char* find;  // the line to replace, whole
  const char* line;
  const char* lineNumber;  // as the refusal names it
};

class ComparisonInputTest : public ::testing::TestWithParam<BadRunInput> {};

TEST_P(ComparisonInputTest, ValuesThatCannotBeChartedAreRefusedWithFileAndLine) {
  TempDir dir;
  SimServer::RunSummary run;
  run.worldMegabytes = 4;
  run.tickBudgetMs = 20;
  run.ticks = {{0, 0.5, false}, {0.02, 12.25, true}};
  run.saves = {{0.02, 0.02, 0.75, true, false}};
  SimServer::WriteSummaryFile(run, dir.Path() / "summary.txt");
  SimServer::WriteTicksCsv(run, dir.Path() / "ticks.csv");
  SimServer::WriteSavesCsv(run, dir.Path() / "saves.csv");
  ASSERT_NO_THROW(SimServer::ReadRun(dir.Path()));

  const auto file = dir.Path() / GetParam().file;
  std::string content = ReadFile(file);
  const auto at = content.find(GetParam().find);
  ASSERT_NE(at, std::string::npos) << content;
  content.replace(at, std::string(GetParam().find).size(), GetParam().line);
  std::ofstream(file, std::ios::binary) << content;
  try {
    SimServer::ReadRun(dir.Path());
    ADD_FAILURE() << GetParam().line << " was taken";
  } catch (const std::runtime_error& refusal) {
    const std::string where = std::string(GetParam().file) + ", line " + GetParam().lineNumber;
    EXPECT_NE(std::string(refusal.what()).find(where), std::string::npos) << refusal.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    BadValues, ComparisonInputTest,
    ::testing::Values(BadRunInput{"ticks.csv", "1,0.0200,12.250,1", "1,0.0200,inf,1", "3"},
                      BadRunInput{"ticks.csv", "1,0.0200,12.250,1", "1,inf,12.250,1", "3"},
                      BadRunInput{"ticks.csv", "0,0.0000,0.500,0", "0,nan,0.500,0", "2"},
                      BadRunInput{"ticks.csv", "0,0.0000,0.500,0", "0,0.0000,-1,0", "2"},
                      BadRunInput{"summary.txt", "tick_budget_ms=20.000", "tick_budget_ms=inf",
                                  "8"},
                      BadRunInput{"summary.txt", "tick_budget_ms=20.000", "tick_budget_ms=0", "8"},
                      BadRunInput{"summary.txt", "world_mb=4", "world_mb=-1", "2"},
                      BadRunInput{"summary.txt", "plugins_loaded=0", "plugins_loaded=7", "1"},
                      BadRunInput{"saves.csv", "0.020000,0.020000,0.750000,1,0",
                                  "0.020000,0.020000,nan,1,0", "2"},
                      BadRunInput{"saves.csv", "0.020000,0.020000,0.750000,1,0",
                                  "0.900000,0.900000,0.750000,1,0", "2"},
                      BadRunInput{"saves.csv", "0.020000,0.020000,0.750000,1,0",
                                  "0.020000,0.020000,0.750000,1", "2"}),
    [](const ::testing::TestParamInfo<BadRunInput>& param) {
      std::string name = std::string(param.param.file) + "_" + std::to_string(param.index);
      for (char& c : name)
        if (c == '.') c = '_';
      return name;
    });

TEST(ComparisonTest, EachRunGoesWhereItsSummarySaysAndTwoOfAKindAreRefused) {
  TempDir dir;
  const auto writeRun = [&](const std::string& name, bool pluginsLoaded, double longestMs) {
    SimServer::RunSummary run;
    run.pluginsLoaded = pluginsLoaded;
    run.tickBudgetMs = 33;
    run.ticks = {{0, longestMs, true}};
    std::filesystem::create_directory(dir.Path() / name);
    SimServer::WriteSummaryFile(run, dir.Path() / name / "summary.txt");
    SimServer::WriteTicksCsv(run, dir.Path() / name / "ticks.csv");
    SimServer::WriteSavesCsv(run, dir.Path() / name / "saves.csv");
  };
  writeRun("with", true, 0.125);
  writeRun("without", false, 900);
  writeRun("without-again", false, 800);
  for (const auto& order : {std::make_pair("with", "without"), std::make_pair("without", "with")}) {
    const auto runs =
        SimServer::ReadComparedRuns(dir.Path() / order.first, dir.Path() / order.second);
    EXPECT_FALSE(runs.without.pluginsLoaded);
    EXPECT_DOUBLE_EQ(SimServer::LongestTickMs(runs.without), 900);
    EXPECT_DOUBLE_EQ(SimServer::LongestTickMs(runs.with), 0.125);
  }
  EXPECT_THROW(SimServer::ReadComparedRuns(dir.Path() / "without", dir.Path() / "without-again"),
               std::runtime_error);
}

TEST(ComparisonTest, TheTimeAxisHasAboutTenLabelsAtRoundSteps) {
  for (double end : {0.004, 0.5, 1.0, 7.3, 10.0, 600.0, 1e7 + 0.5}) {
    const double step = SimServer::TimeAxisStep(end);
    const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
    EXPECT_TRUE(std::abs(mantissa - 1) < 1e-9 || std::abs(mantissa - 2) < 1e-9 ||
                std::abs(mantissa - 5) < 1e-9)
        << end << ": " << step;
    const double labels = std::floor(end / step + 1e-9) + 1;
    EXPECT_GE(labels, 3) << end;
    EXPECT_LE(labels, 11) << end;
  }
}

// A save's span starts at the request that started it, not at a later one that was refused
// while it ran.
TEST(GameModeTest, ASaveIsMeasuredFromTheRequestThatStartedIt) {
  TempDir dir;
  SimServer::SaveSettings settings;
  settings.file = dir.Path() / "world.sav";
  settings.slowDiskPerChunk = std::chrono::milliseconds(100);
  ADravikMode gameMode(3, settings);
  gameMode.StartClock(ADravikMode::Clock::now());
  gameMode.NoteSaveRequest();  // accepted: a save thread takes it
  std::thread saveThread([&] { gameMode.SaveWorld(); });
  while (!gameMode.SaveRunning())
    std::this_thread::yield();
  ASSERT_EQ(gameMode.Counts().spans.size(), 1U);
  EXPECT_TRUE(gameMode.Counts().spans[0].running) << "a running save is counted, to be charted";
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  gameMode.NoteSaveRequest();  // refused while the save runs
  saveThread.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  gameMode.NoteSaveRequest();  // the next save's
  gameMode.SaveWorld();

  const auto spans = gameMode.Counts().spans;
  ASSERT_EQ(spans.size(), 2U);
  EXPECT_LT(spans[0].requestedSeconds, 0.1) << "the refused request was taken for this save's";
  EXPECT_GT(spans[0].endedSeconds - spans[0].requestedSeconds, 0.25);
  EXPECT_GT(spans[1].requestedSeconds, spans[0].endedSeconds);
}

// Every report write, the last flush and the close included, is checked: a full disk fails the
// report with the system's reason. /dev/full answers every write with "no space".
TEST(ServerReportTest, AFullDiskFailsEveryReportWithItsReason) {
  const std::filesystem::path full = "/dev/full";
  std::error_code error;
  if (!std::filesystem::exists(full, error)) GTEST_SKIP() << "no /dev/full on this system";
  SimServer::RunSummary run;
  run.tickBudgetMs = 20;
  run.ticks = {{0, 0.5, false}};
  const std::vector<std::function<void()>> writers = {
      [&] { SimServer::WriteSummaryFile(run, full); },
      [&] { SimServer::WriteTicksCsv(run, full); },
      [&] { SimServer::WriteSavesCsv(run, full); },
      [&] { SimServer::WriteTicksSvg(run, full); },
      [&] { SimServer::WriteComparisonSvg(run, run, full); },
      [&] { SimServer::WriteComparisonPage(run, run, full); }};
  for (std::size_t i = 0; i < writers.size(); ++i) {
    try {
      writers[i]();
      ADD_FAILURE() << "writer " << i << " reported success";
    } catch (const std::runtime_error& failure) {
      EXPECT_STREQ(failure.what(), "cannot write /dev/full: No space left on device") << i;
    }
  }
}

// A disk that fills while a run's reports are written leaves the last run's set as it was,
// and nothing of the new one; the comparison can only read a consistent set.
TEST(ServerReportTest, AReportThatCannotBeWrittenLeavesTheLastSetWhole) {
  const std::filesystem::path full = "/dev/full";
  std::error_code error;
  if (!std::filesystem::exists(full, error)) GTEST_SKIP() << "no /dev/full on this system";
  TempDir dir;
  SimServer::RunSummary last;
  last.worldMegabytes = 4;
  last.tickBudgetMs = 20;
  last.ticks = {{0, 0.5, false}, {0.02, 12.25, true}};
  SimServer::WriteRunReports(last, dir.Path() / "ticks.csv", dir.Path() / "ticks.svg", dir.Path());
  std::vector<std::string> before;
  for (const char* name : {"ticks.csv", "ticks.svg", "saves.csv", "summary.txt"})
    before.push_back(ReadFile(dir.Path() / name));

  SimServer::RunSummary next = last;
  next.worldMegabytes = 8;
  next.ticks.push_back({0.04, 1.5, false});
  EXPECT_THROW(SimServer::WriteRunReports(next, dir.Path() / "ticks.csv", full, dir.Path()),
               std::runtime_error);
  std::vector<std::string> after;
  for (const char* name : {"ticks.csv", "ticks.svg", "saves.csv", "summary.txt"})
    after.push_back(ReadFile(dir.Path() / name));
  EXPECT_EQ(after, before);
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
}

// What cannot be compared is refused with the file and the reason: no ticks, a directory or a
// FIFO in a report's place, runs on worlds of different sizes. A run slower with the plug-in
// is called slower.
TEST(ComparisonTest, RunsThatCannotBeComparedAreRefusedAndASlowerOneIsCalledSo) {
  TempDir dir;
  const auto writeRun = [&](const std::string& name, bool pluginsLoaded, std::size_t worldMb,
                            double longestMs) {
    SimServer::RunSummary run;
    run.pluginsLoaded = pluginsLoaded;
    run.worldMegabytes = worldMb;
    run.tickBudgetMs = 33;
    run.ticks = {{0, longestMs, true}};
    std::filesystem::create_directory(dir.Path() / name);
    SimServer::WriteRunReports(run, dir.Path() / name / "ticks.csv",
                               dir.Path() / name / "ticks.svg", dir.Path() / name);
  };
  writeRun("without", false, 4, 10);
  writeRun("with", true, 4, 40);
  const auto runs = SimServer::ReadComparedRuns(dir.Path() / "without", dir.Path() / "with");
  SimServer::WriteComparisonPage(runs.without, runs.with, dir.Path() / "page.html");
  EXPECT_NE(ReadFile(dir.Path() / "page.html").find("(4.0 times longer: slower with the plug-in)"),
            std::string::npos);

  writeRun("bigger", true, 8, 5);
  const auto refusal = [&](const std::string& with) {
    try {
      SimServer::ReadComparedRuns(dir.Path() / "without", dir.Path() / with);
    } catch (const std::runtime_error& refused) {
      return std::string(refused.what());
    }
    return std::string("taken");
  };
  EXPECT_NE(refusal("bigger").find("worlds of different sizes"), std::string::npos);

  writeRun("empty", true, 4, 5);
  std::ofstream(dir.Path() / "empty" / "ticks.csv", std::ios::trunc) << "tick,start_s\n";
  EXPECT_NE(refusal("empty").find("ticks.csv: no ticks"), std::string::npos);

  writeRun("directory", true, 4, 5);
  std::filesystem::remove(dir.Path() / "directory" / "ticks.csv");
  std::filesystem::create_directory(dir.Path() / "directory" / "ticks.csv");
  EXPECT_NE(refusal("directory").find("ticks.csv: cannot read"), std::string::npos);

  writeRun("fifo", true, 4, 5);
  std::filesystem::remove(dir.Path() / "fifo" / "summary.txt");
  if (MakeFifo(dir.Path() / "fifo" / "summary.txt")) {
    EXPECT_NE(refusal("fifo").find("summary.txt: cannot read: not a regular file"),
              std::string::npos);
  }
}

}  // namespace

namespace {

// The page needs nothing beside it and reads on a narrow screen: the chart is inside it and
// scales, the tables are the ones the server printed, a save still running at the end is
// shaded to the end, and the ratio has no more digits than the times can carry.
TEST(ComparisonTest, ThePageHoldsEverythingAndTellsTheTruthAtAGlance) {
  TempDir dir;
  const auto writeRun = [&](const std::string& name, bool pluginsLoaded, double longestMs) {
    SimServer::RunSummary run;
    run.pluginsLoaded = pluginsLoaded;
    run.worldMegabytes = 64;
    run.tickBudgetMs = 33.3;
    run.savesAskedFor = 2;
    run.savesAccepted = 2;
    run.finalRequest = 3;
    run.ticks = {{0, 0.05, true}, {0.1, longestMs, false}, {4.0, 0.05, true}};
    run.saves = {{0, 0.000001, 1.25, true, false}, {4.0, 4.1, 4.2, false, true}};
    std::filesystem::create_directory(dir.Path() / name);
    SimServer::WriteRunReports(run, dir.Path() / name / "ticks.csv",
                               dir.Path() / name / "ticks.svg", dir.Path() / name);
    return SimServer::FormatTable(run);
  };
  const std::string withoutTable = writeRun("without", false, 795.09);
  const std::string withTable = writeRun("with", true, 0.1);
  const auto runs = SimServer::ReadComparedRuns(dir.Path() / "without", dir.Path() / "with");
  SimServer::WriteComparisonPage(runs.without, runs.with, dir.Path() / "page.html");
  const std::string page = ReadFile(dir.Path() / "page.html");

  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_NE(page.find("<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 800 "),
            std::string::npos);
  EXPECT_NE(page.find("svg{max-width:100%;height:auto}"), std::string::npos);
  for (const std::string& table : {withoutTable, withTable})
    EXPECT_NE(page.find("<pre>" + table + "</pre>"), std::string::npos) << table;
  EXPECT_NE(withTable.find("final save                request 3"), std::string::npos);
  EXPECT_NE(page.find("(8000 times shorter)"), std::string::npos);
  EXPECT_NE(page.find("dravik-server, the project's stand-in for a game server, saving a "
                      "simulated 64 MiB world"),
            std::string::npos);
  // Running saves reach the right edge of their panel (x 70 to 780) in both kinds of chart.
  for (const char* chart : {"with/ticks.svg", "page.html"}) {
    const std::string svg = ReadFile(dir.Path() / chart);
    const auto running = svg.find("<rect class=\"running\" x=\"");
    ASSERT_NE(running, std::string::npos) << chart;
    double x = 0;
    double width = 0;
    ASSERT_EQ(std::sscanf(svg.c_str() + running,
                          "<rect class=\"running\" x=\"%lf\" y=\"%*[0-9.]\" "
                          "width=\"%lf\"",
                          &x, &width),
              2)
        << chart;
    EXPECT_NEAR(x + width, 780, 0.2) << chart;
  }
}

}  // namespace
