#include "sim/server/World.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "platform/FileSync.h"

namespace SimServer {
namespace {

constexpr std::array<char, 8> kMagic = {'D', 'R', 'V', 'W', 'O', 'R', 'L', 'D'};
constexpr std::uint32_t kFormatVersion = 1;

// FNV-1a over the chunk's bytes: cheap, and any torn or truncated write shows.
std::uint64_t Checksum(const std::uint64_t* cells, std::size_t count) {
  std::uint64_t hash = 1469598103934665603ULL;
  const auto* bytes = reinterpret_cast<const unsigned char*>(cells);
  for (std::size_t i = 0; i < count * sizeof(std::uint64_t); ++i) {
    hash = (hash ^ bytes[i]) * 1099511628211ULL;
  }
  return hash;
}

template <typename T>
void WriteValue(std::FILE* out, const T& value) {
  if (std::fwrite(&value, sizeof(value), 1, out) != 1) throw std::runtime_error("write failed");
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

void World::Save(const std::filesystem::path& file, void (*betweenChunks)(void*), void* context) {
  const auto temporary = std::filesystem::path(file.string() + ".tmp");
  std::FILE* out = std::fopen(temporary.string().c_str(), "wb");
  if (out == nullptr) throw std::runtime_error("cannot create " + temporary.string());
  try {
    std::fwrite(kMagic.data(), 1, kMagic.size(), out);
    WriteValue(out, kFormatVersion);
    WriteValue(out, static_cast<std::uint64_t>(chunks_.size()));
    for (const auto& chunk : chunks_) {
      {
        std::lock_guard<std::mutex> lock(chunk->mutex);
        WriteValue(out, Checksum(chunk->cells.data(), chunk->cells.size()));
        if (std::fwrite(chunk->cells.data(), sizeof(std::uint64_t), chunk->cells.size(), out) !=
            chunk->cells.size()) {
          throw std::runtime_error("write failed");
        }
      }
      if (betweenChunks != nullptr) betweenChunks(context);
    }
    if (std::fflush(out) != 0 || !platform::SyncToDisk(out)) {
      throw std::runtime_error("cannot flush " + temporary.string());
    }
  } catch (...) {
    std::fclose(out);
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw;
  }
  std::fclose(out);
  std::filesystem::rename(temporary, file);  // replaces the old save in one step
}

bool VerifySave(const std::filesystem::path& file, std::string& problem) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    problem = "cannot open " + file.string();
    return false;
  }
  std::array<char, 8> magic{};
  std::uint32_t version = 0;
  std::uint64_t chunkCount = 0;
  if (!in.read(magic.data(), magic.size()) || magic != kMagic || !ReadValue(in, version) ||
      version != kFormatVersion || !ReadValue(in, chunkCount)) {
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
    if (Checksum(cells.data(), cells.size()) != expected) {
      problem = "checksum mismatch in chunk " + std::to_string(c);
      return false;
    }
  }
  if (in.peek() != std::ifstream::traits_type::eof()) {
    problem = "data after the last chunk";
    return false;
  }
  return true;
}

}  // namespace SimServer
