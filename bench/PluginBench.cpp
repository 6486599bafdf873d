// What a save request costs the server's thread, side by side with the floor this design can
// reach (starting and detaching a bare thread) and with what the server pays without the
// plug-in (its save routine called in place). Times that depend on a worker thread are taken by
// hand around the call alone, so waiting for the worker between iterations is not counted.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <spdlog/sinks/null_sink.h>

#include "config/Config.h"
#include "host/VelkorApi.h"
#include "host/engine/EngineContainers.h"
#include "logging/PluginLog.h"
#include "platform/Threads.h"
#include "plugin/SaveWorld.h"
#include "sim/host/SimHost.h"
#include "sim/server/ServerAllocator.h"
#include "sim/server/World.h"

using namespace tamsel;  // the plug-in's code under test

namespace {

using Clock = std::chrono::steady_clock;
using SaveFunction = void (*)(ADravikMode*);
constexpr const char* kSaveWorldKey = "ADravikMode.SaveWorld";

std::atomic<int> gSaveSleepMs{0};

void ServerSaveRoutine(ADravikMode*) {
  const int ms = gSaveSleepMs.load();
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

const std::filesystem::path& BenchDir() {
  static const auto dir = [] {
    auto path = std::filesystem::temp_directory_path() / "tamsel-bench";
    std::filesystem::create_directories(path / "VelkorApi" / "Plugins" / "Tamsel");
    return path;
  }();
  return dir;
}

// The stand-in host with the server's routines, the plug-in's logger over one sink, and the
// detour installed as the plug-in installs it.
void SetUpServer(std::shared_ptr<spdlog::sinks::sink> sink) {
  SimHost::Reset();
  SimHost::SetCurrentDir(BenchDir().string());
  SimServer::RegisterAllocator();
  SimHost::RegisterServerFunction(kSaveWorldKey, reinterpret_cast<void*>(&ServerSaveRoutine));
  GetLogSinks().clear();
  GetLogSinks().push_back(std::move(sink));
  PluginLog::Get().Init("Tamsel");
  SaveInProgress = false;
  VelkorApi::GetHooks().InstallHook(kSaveWorldKey, reinterpret_cast<void*>(&SaveWorldDetour),
                                    reinterpret_cast<void**>(&ServerSaveWorld));
}

void WaitForIdle() {
  while (SaveInProgress.load() || tamsel::platform::AnyWorkerInLibrary())
    std::this_thread::yield();
}

void BM_AcceptedSaveRequest(benchmark::State& state) {
  SetUpServer(std::make_shared<spdlog::sinks::null_sink_mt>());
  AffinityEnabled = state.range(0) != 0;
  AffinityMask = 1;
  gSaveSleepMs = 0;
  const auto request = SimHost::Resolve<SaveFunction>(kSaveWorldKey);
  for (auto _ : state) {
    WaitForIdle();
    const auto start = Clock::now();
    request(nullptr);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  WaitForIdle();
  AffinityEnabled = false;
}
BENCHMARK(BM_AcceptedSaveRequest)->ArgName("pinned")->Arg(0)->Arg(1)->UseManualTime();

void BM_BareThreadStartAndDetach(benchmark::State& state) {
  std::atomic<bool> done{false};
  for (auto _ : state) {
    done = false;
    const auto start = Clock::now();
    std::thread worker([&done] { done = true; });
    worker.detach();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    while (!done.load())
      std::this_thread::yield();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the last one leaves
}
BENCHMARK(BM_BareThreadStartAndDetach)->UseManualTime();

void BM_SynchronousSave(benchmark::State& state) {
  gSaveSleepMs = static_cast<int>(state.range(0));
  for (auto _ : state) {
    const auto start = Clock::now();
    ServerSaveRoutine(nullptr);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  gSaveSleepMs = 0;
}
BENCHMARK(BM_SynchronousSave)
    ->ArgName("ms")
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_RefusedSaveRequest(benchmark::State& state) {
  const auto logFile = BenchDir() / "refused.log";
  SetUpServer(SimHost::MakeFileSink(logFile.string(), true));
  const auto request = SimHost::Resolve<SaveFunction>(kSaveWorldKey);
  SaveInProgress = true;  // as while a save runs
  for (auto _ : state)
    request(nullptr);
  SaveInProgress = false;
}
BENCHMARK(BM_RefusedSaveRequest);

std::string NumberList(int entries, int modulo) {
  std::string list;
  for (int i = 0; i < entries; ++i)
    list += (i ? "," : "") + std::to_string(i % modulo);
  return list;
}

void BM_LoadConfig(benchmark::State& state) {
  SetUpServer(std::make_shared<spdlog::sinks::null_sink_mt>());
  const auto entries = static_cast<int>(state.range(0));
  std::ofstream(BenchDir() / "VelkorApi" / "Plugins" / "Tamsel" / "config.json")
      << "{\"CpuThreads\": \"" << (entries == 3 ? "0,4,5" : NumberList(entries, 8)) << "\"}";
  for (auto _ : state) {
    AffinityEnabled = false;
    AffinityMask = 0;
    LoadConfig(8);
  }
  AffinityEnabled = false;
  AffinityMask = 0;
}
BENCHMARK(BM_LoadConfig)->ArgName("entries")->Arg(3)->Arg(4000);

void BM_EngineArrayAppend(benchmark::State& state) {
  SimHost::Reset();
  SimServer::RegisterAllocator();
  for (auto _ : state) {
    EngineArray<std::int32_t> numbers;
    for (std::int32_t i = 0; i < 1000; ++i)
      numbers.Add(i);
    benchmark::DoNotOptimize(numbers.Data());
  }
  SimServer::ClearAllocatorRecord();
}
BENCHMARK(BM_EngineArrayAppend);

void BM_EngineStringSplit(benchmark::State& state) {
  SimHost::Reset();
  SimServer::RegisterAllocator();
  const std::string ascii = NumberList(4000, 64);
  const Utf16String text(ascii.begin(), ascii.end());
  const EngineString list(text.c_str());
  EngineArray<EngineString> pieces;
  for (auto _ : state)
    benchmark::DoNotOptimize(list.Split(pieces));
  pieces.Reset();
  SimServer::ClearAllocatorRecord();
}
BENCHMARK(BM_EngineStringSplit);

// The game loop's own tick, alone and while a world save of the same world runs beside it.
void BM_ServerTick(benchmark::State& state) {
  static SimServer::World world(64);
  const bool saving = state.range(0) != 0;
  std::atomic<bool> stop{false};
  std::thread saver;
  if (saving) {
    saver = std::thread([&stop] {
      while (!stop.load())
        world.Save(BenchDir() / "world.sav", nullptr, nullptr);
    });
  }
  std::uint64_t tick = 0;
  for (auto _ : state)
    world.Tick(++tick);
  stop = true;
  if (saver.joinable()) saver.join();
}
BENCHMARK(BM_ServerTick)->ArgName("saving")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// How long a save holds one 1 MiB chunk's lock, the time a game tick touching that chunk may
// wait: the old save checksummed and wrote the chunk under its lock (copy_out:0); the save
// now only copies it under the lock (copy_out:1) and does the rest on its copy.
void BM_ChunkLockHeld(benchmark::State& state) {
  const bool copyOut = state.range(0) != 0;
  std::vector<std::uint64_t> cells(SimServer::World::kCellsPerChunk, 7);
  std::vector<std::uint64_t> copy(cells.size());
  std::mutex chunkLock;
  std::FILE* out = std::fopen((BenchDir() / "chunk.bin").string().c_str(), "wb");
  for (auto _ : state) {
    std::lock_guard<std::mutex> lock(chunkLock);
    if (copyOut) {
      std::copy(cells.begin(), cells.end(), copy.begin());
    } else {
      const std::uint64_t checksum = SimServer::ChunkChecksum(cells.data(), cells.size());
      std::fwrite(&checksum, sizeof(checksum), 1, out);
      std::fwrite(cells.data(), sizeof(std::uint64_t), cells.size(), out);
    }
    benchmark::DoNotOptimize(copy.data());
    state.PauseTiming();
    std::rewind(out);
    state.ResumeTiming();
  }
  std::fclose(out);
}
BENCHMARK(BM_ChunkLockHeld)->ArgName("copy_out")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
