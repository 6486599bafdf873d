#include "sim/server/ServerAllocator.h"

#include <cstdlib>
#include <mutex>
#include <unordered_set>

#include "sim/host/SimHost.h"

namespace SimServer {
namespace {

struct AllocatorState {
  std::mutex mutex;
  std::unordered_set<void*> liveBlocks;
  std::vector<AllocatorCall> calls;
  std::size_t invalidReleases = 0;
  bool reallocFails = false;
};

AllocatorState& State() {
  static AllocatorState state;
  return state;
}

}  // namespace

void* ServerRealloc(void* block, std::uint64_t bytes) {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  void* result = nullptr;
  if (block != nullptr && state.liveBlocks.count(block) == 0) {
    ++state.invalidReleases;
  } else if (!state.reallocFails && bytes > 0) {
    result = std::realloc(block, static_cast<std::size_t>(bytes));
    if (result != nullptr) {
      state.liveBlocks.erase(block);
      state.liveBlocks.insert(result);
    }
  }
  state.calls.push_back({AllocatorCall::Kind::Realloc, block, bytes, result});
  return result;
}

void ServerFree(void* block) {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.calls.push_back({AllocatorCall::Kind::Free, block, 0, nullptr});
  if (block == nullptr) return;
  if (state.liveBlocks.erase(block) == 0) {
    ++state.invalidReleases;
    return;
  }
  std::free(block);
}

void RegisterAllocator() {
  SimHost::RegisterServerFunction("FMemory.Realloc", reinterpret_cast<void*>(&ServerRealloc));
  SimHost::RegisterServerFunction("FMemory.Free", reinterpret_cast<void*>(&ServerFree));
}

void ClearAllocatorRecord() {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.calls.clear();
  state.invalidReleases = 0;
  state.reallocFails = false;
}

std::vector<AllocatorCall> AllocatorCalls() {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.calls;
}

std::size_t LiveBlockCount() {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.liveBlocks.size();
}

std::size_t InvalidReleaseCount() {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.invalidReleases;
}

void SetReallocFails(bool fails) {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.reallocFails = fails;
}

}  // namespace SimServer
