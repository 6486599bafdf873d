#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace SimServer {

// The stand-in server's world: cells in chunks of 1 MiB, each chunk with its own lock, so a save
// on another thread and the game loop can both use the world at once.
class World {
 public:
  static constexpr std::size_t kChunkBytes = 1 << 20;
  static constexpr std::size_t kCellsPerChunk = kChunkBytes / sizeof(std::uint64_t);

  explicit World(std::size_t megabytes);

  // One game tick's work: moves a few entities about the world.
  void Tick(std::uint64_t tickNumber);

  // Writes the whole world to `file` so that the file is never seen half-written: the data goes
  // to a temporary file beside it, is flushed to disk, and is renamed over the old save.
  // `betweenChunks` runs after each chunk (the server's failure injection and slow-disk hooks).
  // Throws std::runtime_error when the file cannot be written.
  void Save(const std::filesystem::path& file, void (*betweenChunks)(void*), void* context);

 private:
  struct Chunk {
    std::mutex mutex;
    std::vector<std::uint64_t> cells;
  };
  std::vector<std::unique_ptr<Chunk>> chunks_;
};

// Reads a save back: true when it is complete and every chunk's checksum matches. `problem`
// says what is wrong otherwise.
bool VerifySave(const std::filesystem::path& file, std::string& problem);

}  // namespace SimServer
