#include "host/engine/FMemory.h"

#include <string>

#include "host/VelkorApi.h"

namespace {

using ReallocFunction = void* (*)(void*, std::uint64_t);
using FreeFunction = void (*)(void*);

// Nothing is cached: the server's allocator is looked up afresh for each call.
template <typename Function>
Function LookUp(const char* functionKey) {
  return reinterpret_cast<Function>(GetAddress(std::string(functionKey)));
}

}  // namespace

void* FMemory::Realloc(void* block, std::uint64_t size) {
  const auto realloc = LookUp<ReallocFunction>("FMemory.Realloc");
  // A server without the function cannot give memory: report it as a null block.
  return realloc != nullptr ? realloc(block, size) : nullptr;
}

void FMemory::Free(void* block) {
  const auto free = LookUp<FreeFunction>("FMemory.Free");
  // Without the server's release function the block can only be left where it is.
  if (free != nullptr) free(block);
}
