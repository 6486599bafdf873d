#pragma once

#include <cstdint>

// The server's allocator, reached by function key through the host on every call.
struct FMemory {
  // Resizes `block` (null for a new one) to `size` bytes and returns its new address, which
  // is null when the server has no memory left.
  static void* Realloc(void* block, std::uint64_t size);
  static void Free(void* block);
};
