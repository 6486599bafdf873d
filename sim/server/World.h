#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace SimServer {

// What a save file records of the save that wrote it.
struct SaveStamp {
  std::uint64_t saveNumber = 0;     // which save of the run, 1 for the first
  std::uint64_t requestNumber = 0;  // how many saves the server had asked for when it began
};

// The stand-in server's world: cells in chunks of 1 MiB, each chunk with its own lock, so a save
// on another thread and the game loop can both use the world at once.
class World {
 public:
  static constexpr std::size_t kChunkBytes = 1 << 20;
  static constexpr std::size_t kCellsPerChunk = kChunkBytes / sizeof(std::uint64_t);

  explicit World(std::size_t megabytes);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // One game tick's work: moves a few entities about the world.
  void Tick(std::uint64_t tickNumber);

  // Writes the whole world to `file` so that the file is never seen half-written: the data goes
  // to a temporary file beside it, is flushed to disk, and is renamed over the old save.
  // Each chunk's lock is held only while the chunk is copied; the checksum and the write work
  // on the copy. `betweenChunks` runs after each chunk (the server's failure injection and
  // slow-disk hooks). Throws std::runtime_error, with the system's reason, when the file cannot
  // be written. A save that never came back (a fault ended it) is discarded, its file closed
  // and removed, by the next save or by the world's destruction.
  // The file records `stamp`.
  void Save(const std::filesystem::path& file, void (*betweenChunks)(void*), void* context,
            SaveStamp stamp = {});

  // Closes and removes what a save that a fault ended left open. Only while no save runs.
  void DiscardUnfinishedSave();

  // Chunks written by all saves so far: a save that makes no progress is stuck.
  std::uint64_t ChunksSaved() const { return chunksSaved_.load(std::memory_order_relaxed); }

 private:
  struct Chunk {
    std::mutex mutex;
    std::vector<std::uint64_t> cells;
  };
  // The save in progress, kept where the next save and the world's destruction find it.
  struct UnfinishedSave {
    std::FILE* file = nullptr;   // the temporary file, once created
    std::filesystem::path path;  // the temporary file's name
    std::string failure;         // the start of the message for a write that fails
  };

  static void CopyChunk(Chunk& chunk, std::vector<std::uint64_t>& copy);

  std::vector<std::unique_ptr<Chunk>> chunks_;
  std::atomic<std::uint64_t> chunksSaved_{0};
  std::vector<std::uint64_t> saveBuffer_;  // used by one save at a time
  std::mutex unfinishedMutex_;
  UnfinishedSave unfinished_;
};

// The system's words for the errno value `error` ("unknown reason" for 0), for the server's
// messages about files.
std::string SystemReason(int error);

// The checksum stored with each chunk in a save.
std::uint64_t ChunkChecksum(const std::uint64_t* cells, std::size_t count);

// Reads a save back: true when it is complete and every chunk's checksum matches, with what it
// records of the save that wrote it in `stamp` (when given). `problem` says what is wrong
// otherwise.
bool VerifySave(const std::filesystem::path& file, std::string& problem,
                SaveStamp* stamp = nullptr);

}  // namespace SimServer
