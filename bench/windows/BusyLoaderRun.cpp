// What a save request costs the server's thread while the process's loader is busy elsewhere,
// side by side with a bare thread start under the same load. A stand-in run, not a benchmark
// framework's: the plug-in is loaded from disk into the stand-in server, and the server asks
// for a 60 ms save every 100 ms while another thread keeps the loader busy:
//   none       nothing else happens
//   load-free  a thread loads and frees a library whose entry sleeps 5 to 50 ms, without pause
//   sparse     the same, once every 550 ms
//   threads    the library stays loaded, slow at thread attach, while threads start and end
// Prints, per scenario, the requests' median and longest cost on the server's thread, the
// same for starting a bare std::thread, and how many saves ran on the server's thread.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/VelkorApi.h"
#include "sim/host/SimHost.h"
#include "sim/os/DynamicLibrary.h"
#include "sim/server/ServerAllocator.h"
#include "tests/support/Gate.h"
#include "tests/support/SimulatedSave.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

struct Costs {
  std::vector<double> samples;
  double Median() {
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[samples.size() / 2];
  }
  double Longest() const {
    return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
  }
};

enum class Scenario { None, LoadFree, Sparse, Threads };

// Keeps the loader busy, as the scenario says, until destroyed.
class LoaderActivity {
 public:
  explicit LoaderActivity(Scenario scenario) {
    if (scenario == Scenario::None) return;
    worker_ = std::thread([this, scenario] {
      int round = 0;
      HMODULE kept = nullptr;
      if (scenario == Scenario::Threads) {
        SetEnvironmentVariableA("TAMSEL_SLOW_ENTRY_MS", "20");
        kept = LoadLibraryW(L"" TAMSEL_SLOW_ENTRY_FILE);
      }
      while (!stop_) {
        if (scenario == Scenario::Threads) {
          std::thread([] {}).join();
          continue;
        }
        SetEnvironmentVariableA("TAMSEL_SLOW_ENTRY_MS", std::to_string(5 + round++ % 46).c_str());
        if (HMODULE library = LoadLibraryW(L"" TAMSEL_SLOW_ENTRY_FILE)) FreeLibrary(library);
        if (scenario == Scenario::Sparse)
          std::this_thread::sleep_for(std::chrono::milliseconds(550));
      }
      if (kept) FreeLibrary(kept);
    });
  }
  ~LoaderActivity() {
    stop_ = true;
    if (worker_.joinable()) worker_.join();
  }
  LoaderActivity(const LoaderActivity&) = delete;
  LoaderActivity& operator=(const LoaderActivity&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread worker_;
};

void Run(const char* name, Scenario scenario, int requests) {
  Costs request;
  Costs bareThread;
  int onServerThread = 0;
  LoaderActivity activity(scenario);
  for (int i = 0; i < requests; ++i) {
    const int before = SimulatedSave::Runs();
    auto start = Clock::now();
    SimulatedSave::Request();
    request.samples.push_back(Milliseconds(Clock::now() - start));
    Eventually([before] { return SimulatedSave::Runs() > before; }, std::chrono::minutes(1));
    if (SimulatedSave::LastThread() == std::this_thread::get_id()) ++onServerThread;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    start = Clock::now();
    std::thread([] {}).detach();
    bareThread.samples.push_back(Milliseconds(Clock::now() - start));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const double bareMedian = bareThread.Median();
  const double requestMedian = request.Median();
  std::printf("%-10s %8.3f %8.2f %9.3f %8.2f %7.1fx %5d of %d\n", name, requestMedian,
              request.Longest(), bareMedian, bareThread.Longest(),
              bareMedian > 0 ? requestMedian / bareMedian : 0.0, onServerThread, requests);
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  TempDir serverDir;
  serverDir.WriteConfig(R"({"CpuThreads": ""})");
  SimHost::Reset();
  SimServer::RegisterAllocator();
  SimulatedSave::Register();
  SimHost::SetCurrentDir(serverDir.Path().string());
  SimulatedSave::SetBody(
      [](ADravikMode*) { std::this_thread::sleep_for(std::chrono::milliseconds(60)); });
  GetLogSinks().clear();
  {
    SimOs::DynamicLibrary plugin(TAMSEL_PLUGIN_FILE);
    std::printf("%-10s %8s %8s %9s %8s %8s %s\n", "scenario", "req ms", "req max", "thread ms",
                "thr max", "ratio", "saves on the server's thread");
    Run("none", Scenario::None, requests);
    Run("load-free", Scenario::LoadFree, requests);
    Run("sparse", Scenario::Sparse, requests);
    Run("threads", Scenario::Threads, requests);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the last save ends
    plugin.Unload();
  }
  return 0;
}
