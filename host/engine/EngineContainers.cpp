#include "host/engine/EngineContainers.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "host/engine/FMemory.h"

namespace {

constexpr std::int32_t kMaxCount = std::numeric_limits<std::int32_t>::max();
constexpr Utf16Char kComma = u',';
constexpr Utf16Char kEmptyText[1] = {0};

}  // namespace

namespace tamsel {

std::int32_t GrownCapacity(std::int32_t newCount, std::int32_t capacity) {
  if (capacity == 0 && newCount <= 4) return 4;
  const std::int64_t slack = 3 * static_cast<std::int64_t>(newCount) / 8;
  // The sum wraps around in 32 bits; a wrapped result is smaller than the count.
  const auto grown = static_cast<std::int32_t>(static_cast<std::uint32_t>(newCount) +
                                               static_cast<std::uint32_t>(slack) + 16U);
  return grown < newCount ? kMaxCount : grown;
}

}  // namespace tamsel

void GrowCapacity(void*& data, std::int32_t& capacity, std::int32_t newCount,
                  std::size_t elementSize) {
  const std::int32_t newCapacity = tamsel::GrownCapacity(newCount, capacity);
  void* block = FMemory::Realloc(data, static_cast<std::uint64_t>(newCapacity) * elementSize);
  if (block == nullptr) throw std::bad_alloc();
  data = block;
  capacity = newCapacity;
}

namespace tamsel {

void CheckRoomFor(std::int32_t count, std::int64_t extra) {
  if (count + extra > kMaxCount) throw std::length_error("engine container is full");
}

void ReleaseBlock(void* data) {
  if (data != nullptr) FMemory::Free(data);
}

}  // namespace tamsel

EngineString::EngineString(const Utf16Char* text) {
  if (text == nullptr || text[0] == 0) return;
  const std::size_t length = std::basic_string_view<Utf16Char>(text).size();
  tamsel::CheckRoomFor(0, static_cast<std::int64_t>(length) + 1);
  Assign(static_cast<std::int32_t>(length), text);
}

EngineString::EngineString(std::int32_t count, const Utf16Char* text) {
  if (count <= 0) return;
  tamsel::CheckRoomFor(count, 1);
  Assign(count, text);
}

void EngineString::Assign(std::int32_t length, const Utf16Char* units) {
  void* block = nullptr;
  std::int32_t capacity = 0;
  GrowCapacity(block, capacity, length + 1, sizeof(Utf16Char));
  data_ = static_cast<Utf16Char*>(block);
  capacity_ = capacity;
  count_ = length + 1;
  std::char_traits<Utf16Char>::copy(data_, units, static_cast<std::size_t>(length));
  data_[length] = 0;
}

const Utf16Char* EngineString::Text() const {
  return count_ != 0 ? data_ : kEmptyText;
}

std::int32_t EngineString::Split(EngineArray<EngineString>& pieces) const {
  pieces.Reset();
  if (data_ == nullptr) return 0;
  const Utf16Char* cursor = data_;
  const Utf16Char* const end = data_ + std::char_traits<Utf16Char>::length(data_);
  for (const Utf16Char* comma = std::find(cursor, end, kComma); comma != end;
       comma = std::find(cursor, end, kComma)) {
    const auto length = static_cast<std::int32_t>(comma - cursor);
    if (length > 0) pieces.Emplace(length, cursor);
    cursor = comma + 1;
  }
  if (cursor != end) pieces.Emplace(cursor);
  return pieces.Count();
}
