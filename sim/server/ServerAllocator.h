#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The stand-in server's allocator, registered with the host as "FMemory.Realloc" and
// "FMemory.Free". It keeps a record of its blocks and calls, so that tests can show what the
// plug-in asked for and that it gave everything back exactly once.
namespace SimServer {

struct AllocatorCall {
  enum class Kind { Realloc, Free };
  Kind kind;
  void* block;          // the block passed in
  std::uint64_t bytes;  // requested size, for Realloc
  void* result;         // the block handed out, for Realloc
};

void* ServerRealloc(void* block, std::uint64_t bytes);
void ServerFree(void* block);

// Registers the two functions with the host loader.
void RegisterAllocator();

// Clears the record (blocks still live stay counted).
void ClearAllocatorRecord();
std::vector<AllocatorCall> AllocatorCalls();
std::size_t LiveBlockCount();
// Calls with a block that was not live: a double release or a foreign pointer.
std::size_t InvalidReleaseCount();
// While set, every reallocation answers null, as a server out of memory does.
void SetReallocFails(bool fails);

}  // namespace SimServer
