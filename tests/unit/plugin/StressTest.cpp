#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/VelkorApi.h"
#include "logging/PluginLog.h"
#include "sim/host/LineSink.h"
#include "tests/support/PluginFixture.h"

using namespace tamsel;  // the plug-in's code under test

namespace {

// Counts messages without keeping them: a stress run logs millions of refusals.
class CountingSink : public LineSink {
 public:
  int Count(const std::string& message) {
    std::lock_guard<std::mutex> lock(Lock());
    return counts_[message];
  }

 protected:
  void Write(std::string /*line*/, std::string text) override { ++counts_[text]; }

 private:
  std::map<std::string, int> counts_;
};

double StressSeconds() {
  const char* configured = std::getenv("TAMSEL_STRESS_SECONDS");
  return configured != nullptr ? std::atof(configured) : 1.0;
}

using StressTest = SaveFixture;

// Server threads ask for saves as fast as they can while saves of random short length run and
// some of them fail: every accepted request runs exactly one save, never two at once.
TEST_F(StressTest, ManyServerThreadsAndFailingSaves) {
  auto counter = std::make_shared<CountingSink>();
  GetLogSinks().clear();
  GetLogSinks().push_back(counter);
  PluginLog::Get().Init("Tamsel");

  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> failed{0};
  SetSaveBody([&](ADravikMode*) {
    if (running.fetch_add(1) != 0) overlaps.fetch_add(1);
    thread_local std::minstd_rand random(std::random_device{}());
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
    const bool fail = random() % 5 == 0;
    running.fetch_sub(1);
    if (fail) {
      failed.fetch_add(1);
      throw std::runtime_error("simulated");
    }
  });

  constexpr int kThreads = 4;
  std::atomic<long> requests{0};
  const auto stopAt = std::chrono::steady_clock::now() +
                      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(StressSeconds()));
  std::vector<std::thread> servers;
  for (int t = 0; t < kThreads; ++t) {
    servers.emplace_back([&] {
      while (std::chrono::steady_clock::now() < stopAt) {
        RequestSave();
        requests.fetch_add(1);
      }
    });
  }
  for (auto& server : servers)
    server.join();
  ASSERT_TRUE(WaitUntilIdle());

  const long refused = counter->Count("World Already Saving!");
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(SaveRuns(), requests.load() - refused) << "an accepted request did not run once";
  EXPECT_EQ(counter->Count("Error failed to save!"), failed.load());
  EXPECT_GT(SaveRuns(), 1);
  EXPECT_FALSE(SaveInProgress.load());
}

}  // namespace
