#include "tests/support/SimulatedSave.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "sim/host/SimHost.h"

namespace SimulatedSave {
namespace {

std::mutex gBodyMutex;
std::function<void(ADravikMode*)> gBody;
std::atomic<int> gRuns{0};
std::atomic<ADravikMode*> gLastGameMode{nullptr};
std::atomic<std::thread::id> gLastThread{};

void SaveWorld(ADravikMode* gameMode) {
  // Recorded before the run is counted: a test that sees the count may read them at once.
  gLastGameMode = gameMode;
  gLastThread = std::this_thread::get_id();
  gRuns.fetch_add(1);
  std::function<void(ADravikMode*)> body;
  {
    std::lock_guard<std::mutex> lock(gBodyMutex);
    body = gBody;
  }
  if (body) body(gameMode);
}

}  // namespace

void Register() {
  SetBody(nullptr);
  gRuns = 0;
  SimHost::RegisterServerFunction(kFunctionKey, Address());
}

void SetBody(std::function<void(ADravikMode*)> body) {
  std::lock_guard<std::mutex> lock(gBodyMutex);
  gBody = std::move(body);
}

int Runs() {
  return gRuns.load();
}

ADravikMode* LastGameMode() {
  return gLastGameMode.load();
}

std::thread::id LastThread() {
  return gLastThread.load();
}

void Request(ADravikMode* gameMode) {
  using Function = void (*)(ADravikMode*);
  SimHost::Resolve<Function>(kFunctionKey)(gameMode);
}

void* Address() {
  return reinterpret_cast<void*>(&SaveWorld);
}

}  // namespace SimulatedSave
