#pragma once

// The server's string and growable array, laid out as the server lays them out, with their
// memory from the server's allocator (FMemory). Each container owns its block alone, so none
// can be copied or moved.

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "text/Utf16.h"

// The plug-in's helpers for the server's containers; the containers and GrowCapacity have the
// server's names.
namespace tamsel {

// Capacity for a container whose count grows to `newCount`: 4 for a first small block, then
// newCount + 3/8 of it + 16, saturated at the largest signed 32-bit value.
std::int32_t GrownCapacity(std::int32_t newCount, std::int32_t capacity);

// Throws std::length_error when a container cannot take `extra` more elements.
void CheckRoomFor(std::int32_t count, std::int64_t extra);

// Gives a block back to the server; null is a no-op.
void ReleaseBlock(void* data);

// Whether a T may be moved to another address as raw bytes, as a reallocation moves elements:
// true for trivially copyable types; a type that owns memory says so itself (EngineString, which
// holds no pointer into itself, below).
template <typename T>
struct MovableAsBytes : std::is_trivially_copyable<T> {};

}  // namespace tamsel

// Grows a block so that it holds at least `newCount` elements, through FMemory::Realloc.
// When the server returns no memory it throws std::bad_alloc and changes nothing: `data` and
// `capacity` still describe the old block, which the container still owns.
void GrowCapacity(void*& data, std::int32_t& capacity, std::int32_t newCount,
                  std::size_t elementSize);

template <typename T>
class EngineArray {
  static_assert(tamsel::MovableAsBytes<T>::value,
                "elements are moved by reallocation as raw bytes");

 public:
  EngineArray() = default;
  ~EngineArray() {
    Reset();
    tamsel::ReleaseBlock(data_);
  }
  EngineArray(const EngineArray&) = delete;
  EngineArray& operator=(const EngineArray&) = delete;

  // Appends a copy of `value`; returns its index.
  std::int32_t Add(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>, "use Emplace for elements that own memory");
    return Emplace(value);
  }

  // Builds a new last element from `args`; returns its index. If building it throws, the
  // array is as it was, apart from a possibly larger block.
  template <typename... Args>
  std::int32_t Emplace(Args&&... args) {
    tamsel::CheckRoomFor(count_, 1);
    const std::int32_t index = count_;
    if (index + 1 > capacity_) {
      void* block = data_;
      GrowCapacity(block, capacity_, index + 1, sizeof(T));
      data_ = static_cast<T*>(block);
    }
    new (data_ + index) T(std::forward<Args>(args)...);
    count_ = index + 1;
    return index;
  }

  bool Contains(const T& value) const {
    for (std::int32_t i = 0; i < count_; ++i) {
      if (data_[i] == value) return true;
    }
    return false;
  }

  // Releases every element in index order; keeps the block for reuse.
  void Reset() {
    for (std::int32_t i = 0; i < count_; ++i)
      data_[i].~T();
    count_ = 0;
  }

  T& operator[](std::int32_t index) { return data_[index]; }
  const T& operator[](std::int32_t index) const { return data_[index]; }
  std::int32_t Count() const { return count_; }
  std::int32_t Capacity() const { return capacity_; }
  const T* Data() const { return data_; }

 private:
  T* data_ = nullptr;
  std::int32_t count_ = 0;
  std::int32_t capacity_ = 0;
};

// The server's string: UTF-16 code units with a terminating zero that the count includes.
class EngineString {
 public:
  EngineString() = default;
  // From a zero-terminated text; null or "" gives a string without storage.
  explicit EngineString(const Utf16Char* text);
  // From the first `count` units of `text`; a count of 0 gives a string without storage.
  EngineString(std::int32_t count, const Utf16Char* text);
  ~EngineString() { tamsel::ReleaseBlock(data_); }
  EngineString(const EngineString&) = delete;
  EngineString& operator=(const EngineString&) = delete;

  // The zero-terminated text; a shared empty text when there is no storage.
  const Utf16Char* Text() const;
  bool IsEmpty() const { return count_ <= 1; }

  // Cuts the text at every "," into `pieces`, dropping empty pieces and keeping blanks.
  // What `pieces` held before is released first. Returns the number of pieces.
  std::int32_t Split(EngineArray<EngineString>& pieces) const;

  std::int32_t Count() const { return count_; }
  std::int32_t Capacity() const { return capacity_; }
  const Utf16Char* Data() const { return data_; }

 private:
  void Assign(std::int32_t length, const Utf16Char* units);

  Utf16Char* data_ = nullptr;
  std::int32_t count_ = 0;
  std::int32_t capacity_ = 0;
};

// Its block is reached only through data_, never through the string's own address.
namespace tamsel {
template <>
struct MovableAsBytes<EngineString> : std::true_type {};
}  // namespace tamsel

static_assert(sizeof(EngineString) == sizeof(void*) + 2 * sizeof(std::int32_t),
              "data, count and capacity, as the server lays them out");
static_assert(sizeof(EngineArray<std::int32_t>) == sizeof(EngineString),
              "arrays share the string's layout");
