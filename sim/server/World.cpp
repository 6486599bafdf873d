#include "sim/server/World.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "sim/os/Files.h"

namespace SimServer {
namespace {

constexpr std::array<char, 8> kMagic = {'D', 'R', 'V', 'W', 'O', 'R', 'L', 'D'};
// 2: the save's number follows the version; 3: then the number of the request it answers.
constexpr std::uint32_t kFormatVersion = 3;

}  // namespace

// FNV-1a over the chunk's bytes: cheap, and any torn or truncated write shows.
std::uint64_t ChunkChecksum(const std::uint64_t* cells, std::size_t count) {
  std::uint64_t hash = 1469598103934665603ULL;
  const auto* bytes = reinterpret_cast<const unsigned char*>(cells);
  for (std::size_t i = 0; i < count * sizeof(std::uint64_t); ++i) {
    hash = (hash ^ bytes[i]) * 1099511628211ULL;
  }
  return hash;
}

std::string SystemReason(int error) {
  return error != 0 ? std::generic_category().message(error) : "unknown reason";
}

namespace {

void WriteBytes(std::FILE* out, const void* data, std::size_t size, const std::string& failure) {
  errno = 0;
  if (std::fwrite(data, 1, size, out) != size) {
    throw std::runtime_error(failure + ": " + SystemReason(errno));
  }
}

template <typename T>
bool ReadValue(std::ifstream& in, T& value) {
  return static_cast<bool>(in.read(reinterpret_cast<char*>(&value), sizeof(value)));
}

}  // namespace

World::World(std::size_t megabytes) {
  chunks_.reserve(megabytes);
  for (std::size_t c = 0; c < megabytes; ++c) {
    auto chunk = std::make_unique<Chunk>();
    chunk->cells.resize(kCellsPerChunk);
    for (std::size_t i = 0; i < kCellsPerChunk; ++i)
      chunk->cells[i] = c * kCellsPerChunk + i;
    chunks_.push_back(std::move(chunk));
  }
}

void World::Tick(std::uint64_t tickNumber) {
  if (chunks_.empty()) return;
  // A few hundred entity moves spread over the world, as a busy server might make.
  std::uint64_t state = tickNumber * 0x9E3779B97F4A7C15ULL + 1;
  for (int move = 0; move < 256; ++move) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    Chunk& chunk = *chunks_[state % chunks_.size()];
    std::lock_guard<std::mutex> lock(chunk.mutex);
    chunk.cells[(state >> 20) % kCellsPerChunk] += state | 1;
  }
}

World::~World() {
  DiscardUnfinishedSave();
}

void World::Save(const std::filesystem::path& file, void (*betweenChunks)(void*), void* context,
                 SaveStamp stamp) {
  DiscardUnfinishedSave();
  // What the save allocates lives in the world, not on this stack: a save that a fault ends
  // leaves nothing behind that the next save or the world's destruction cannot release.
  UnfinishedSave& save = unfinished_;
  {
    std::lock_guard<std::mutex> lock(unfinishedMutex_);
    save.path = file;
    save.path += ".tmp";
    save.failure = "cannot write " + save.path.u8string();
  }
  errno = 0;
  std::FILE* out = SimOs::OpenFile(save.path, "wb");
  if (out == nullptr) {
    const std::string problem =
        "cannot create " + save.path.u8string() + ": " + SystemReason(errno);
    DiscardUnfinishedSave();
    throw std::runtime_error(problem);
  }
  {
    std::lock_guard<std::mutex> lock(unfinishedMutex_);
    save.file = out;
  }
  try {
    WriteBytes(out, kMagic.data(), kMagic.size(), save.failure);
    WriteBytes(out, &kFormatVersion, sizeof(kFormatVersion), save.failure);
    WriteBytes(out, &stamp.saveNumber, sizeof(stamp.saveNumber), save.failure);
    WriteBytes(out, &stamp.requestNumber, sizeof(stamp.requestNumber), save.failure);
    const auto chunkCount = static_cast<std::uint64_t>(chunks_.size());
    WriteBytes(out, &chunkCount, sizeof(chunkCount), save.failure);
    saveBuffer_.resize(kCellsPerChunk);
    for (const auto& chunk : chunks_) {
      CopyChunk(*chunk, saveBuffer_);
      const std::uint64_t checksum = ChunkChecksum(saveBuffer_.data(), saveBuffer_.size());
      WriteBytes(out, &checksum, sizeof(checksum), save.failure);
      WriteBytes(out, saveBuffer_.data(), saveBuffer_.size() * sizeof(std::uint64_t), save.failure);
      chunksSaved_.fetch_add(1, std::memory_order_relaxed);
      if (betweenChunks != nullptr) betweenChunks(context);
    }
    if (std::fflush(out) != 0 || !SimOs::SyncToDisk(out)) {
      throw std::runtime_error("cannot flush " + save.path.u8string() + ": " + SystemReason(errno));
    }
  } catch (...) {
    DiscardUnfinishedSave();
    throw;
  }
  const std::filesystem::path temporary = save.path;
  {
    std::lock_guard<std::mutex> lock(unfinishedMutex_);
    unfinished_ = {};
  }
  if (std::fclose(out) != 0) {
    throw std::runtime_error("cannot close " + temporary.u8string() + ": " + SystemReason(errno));
  }
  std::error_code renamed;
  std::filesystem::rename(temporary, file, renamed);  // replaces the old save in one step
  if (renamed) {
    // The new save is complete: it stays where it is, and the failure says where that is.
    throw std::runtime_error("cannot replace " + file.u8string() + ": " + renamed.message() +
                             "; the complete save was left in " + temporary.u8string());
  }
}

void World::CopyChunk(Chunk& chunk, std::vector<std::uint64_t>& copy) {
  // The game waits for this lock: it is held for the copy alone.
  std::lock_guard<std::mutex> lock(chunk.mutex);
  std::copy(chunk.cells.begin(), chunk.cells.end(), copy.begin());
}

void World::DiscardUnfinishedSave() {
  std::lock_guard<std::mutex> lock(unfinishedMutex_);
  if (unfinished_.file != nullptr) {
    std::fclose(unfinished_.file);
    std::error_code ignored;
    std::filesystem::remove(unfinished_.path, ignored);  // ours: we created it
  }
  unfinished_ = {};
}

bool VerifySave(const std::filesystem::path& file, std::string& problem, SaveStamp* stamp) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    problem = "cannot open " + file.u8string();
    return false;
  }
  std::array<char, 8> magic{};
  std::uint32_t version = 0;
  SaveStamp recorded;
  std::uint64_t chunkCount = 0;
  if (!in.read(magic.data(), magic.size()) || magic != kMagic || !ReadValue(in, version) ||
      version != kFormatVersion || !ReadValue(in, recorded.saveNumber) ||
      !ReadValue(in, recorded.requestNumber) || !ReadValue(in, chunkCount)) {
    problem = "not a world save";
    return false;
  }
  std::vector<std::uint64_t> cells(World::kCellsPerChunk);
  for (std::uint64_t c = 0; c < chunkCount; ++c) {
    std::uint64_t expected = 0;
    if (!ReadValue(in, expected) ||
        !in.read(reinterpret_cast<char*>(cells.data()),
                 static_cast<std::streamsize>(cells.size() * sizeof(std::uint64_t)))) {
      problem = "cut off in chunk " + std::to_string(c);
      return false;
    }
    if (ChunkChecksum(cells.data(), cells.size()) != expected) {
      problem = "checksum mismatch in chunk " + std::to_string(c);
      return false;
    }
  }
  if (in.peek() != std::ifstream::traits_type::eof()) {
    problem = "data after the last chunk";
    return false;
  }
  if (stamp != nullptr) *stamp = recorded;
  return true;
}

}  // namespace SimServer
