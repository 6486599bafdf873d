#include <limits>
#include <new>
#include <string>
#include <vector>

#include "host/VelkorApi.h"
#include "host/engine/EngineContainers.h"
#include "sim/host/SimHost.h"
#include "sim/server/ServerAllocator.h"
#include "tests/support/PluginFixture.h"

namespace {

using SimServer::AllocatorCall;
using SimServer::AllocatorCalls;

Utf16String Wide(const std::string& ascii) {
  return Utf16String(ascii.begin(), ascii.end());
}

std::string Narrow(const Utf16Char* text) {
  std::string ascii;
  for (; *text != 0; ++text)
    ascii.push_back(static_cast<char>(*text));
  return ascii;
}

std::vector<std::uint64_t> ReallocSizes() {
  std::vector<std::uint64_t> sizes;
  for (const AllocatorCall& call : AllocatorCalls()) {
    if (call.kind == AllocatorCall::Kind::Realloc) sizes.push_back(call.bytes);
  }
  return sizes;
}

// Every test ends with nothing left allocated and nothing released twice.
class EngineContainersTest : public PluginFixture {
 protected:
  void TearDown() override {
    EXPECT_EQ(SimServer::LiveBlockCount(), 0U) << "an engine block leaked";
    PluginFixture::TearDown();
  }
};

TEST_F(EngineContainersTest, GrowthRule) {
  struct Case {
    std::int32_t newCount, capacity, expected;
  };
  const Case cases[] = {
      {1, 0, 4},
      {4, 0, 4},
      {5, 0, 22},
      {5, 4, 22},
      {23, 22, 47},
      {48, 47, 82},
      {6, 0, 24},
      {2147483647, 82, 2147483647},  // the sum runs past 32 bits
      {1561806280, 4, 2147483647},   // just past: 1561806280 * 11/8 + 16 > 2^31-1
      {1561806277, 4, 2147483647 - 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tamsel::GrownCapacity(c.newCount, c.capacity), c.expected)
        << "count " << c.newCount << ", capacity " << c.capacity;
  }
}

TEST_F(EngineContainersTest, StringsTakeTheirBlocksFromTheServer) {
  struct Case {
    const char* text;
    std::int32_t count, capacity;
  };
  const Case cases[] = {{"abc", 4, 4}, {"abcd", 5, 22}, {"0,4,5", 6, 24}};
  for (const Case& c : cases) {
    SimServer::ClearAllocatorRecord();
    {
      const Utf16String text = Wide(c.text);
      const EngineString string(text.c_str());
      EXPECT_EQ(string.Count(), c.count) << c.text;
      EXPECT_EQ(string.Capacity(), c.capacity) << c.text;
      EXPECT_EQ(Narrow(string.Text()), c.text);
      EXPECT_FALSE(string.IsEmpty());
      EXPECT_EQ(ReallocSizes(), std::vector<std::uint64_t>{std::uint64_t(c.capacity) * 2})
          << c.text;
    }
    ASSERT_EQ(AllocatorCalls().size(), 2U) << "one reallocation and one release";
    EXPECT_EQ(AllocatorCalls()[1].kind, AllocatorCall::Kind::Free);
    EXPECT_EQ(AllocatorCalls()[1].block, AllocatorCalls()[0].result);
  }

  // From a count and a text: the first units, terminated.
  const Utf16String source = Wide("12345");
  const EngineString prefix(3, source.c_str());
  EXPECT_EQ(prefix.Count(), 4);
  EXPECT_EQ(Narrow(prefix.Text()), "123");
}

TEST_F(EngineContainersTest, EmptyStringsHaveNoStorageAndCostNothing) {
  const Utf16String empty;
  const EngineString none;
  const EngineString fromNull(nullptr);
  const EngineString fromEmpty(empty.c_str());
  const EngineString fromZeroCount(0, empty.c_str());
  for (const EngineString* string : {&none, &fromNull, &fromEmpty, &fromZeroCount}) {
    EXPECT_EQ(string->Data(), nullptr);
    EXPECT_EQ(string->Count(), 0);
    EXPECT_TRUE(string->IsEmpty());
    ASSERT_NE(string->Text(), nullptr);
    EXPECT_EQ(string->Text()[0], 0);
  }
  EngineArray<EngineString> pieces;
  EXPECT_EQ(fromNull.Split(pieces), 0);
  EXPECT_EQ(pieces.Count(), 0);
  EXPECT_TRUE(AllocatorCalls().empty());
}

TEST_F(EngineContainersTest, AppendingIntegersGrowsAtTheDocumentedCounts) {
  std::vector<std::int32_t> countsThatGrew;
  std::vector<std::int32_t> capacities;
  {
    EngineArray<std::int32_t> numbers;
    for (std::int32_t value = 0; value < 60; ++value) {
      const std::int32_t before = numbers.Capacity();
      EXPECT_EQ(numbers.Add(value * 7), value);
      if (numbers.Capacity() != before) {
        countsThatGrew.push_back(numbers.Count());
        capacities.push_back(numbers.Capacity());
      }
    }
    EXPECT_TRUE(numbers.Contains(0));
    EXPECT_TRUE(numbers.Contains(59 * 7));
    EXPECT_FALSE(numbers.Contains(3));
    for (std::int32_t i = 0; i < numbers.Count(); ++i)
      ASSERT_EQ(numbers[i], i * 7);
  }
  EXPECT_EQ(countsThatGrew, (std::vector<std::int32_t>{1, 5, 23, 48}));
  EXPECT_EQ(capacities, (std::vector<std::int32_t>{4, 22, 47, 82}));
  EXPECT_EQ(ReallocSizes(), (std::vector<std::uint64_t>{16, 88, 188, 328}));
  EXPECT_FALSE(EngineArray<std::int32_t>().Contains(0));
}

TEST_F(EngineContainersTest, SplitCutsAtCommasDroppingEmptyPieces) {
  struct Case {
    const char* text;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"0,4,5", {"0", "4", "5"}}, {",,1,,", {"1"}},     {"1, 2", {"1", " 2"}},
      {"no comma", {"no comma"}}, {",,,", {}},          {"a,", {"a"}},
      {" ,1", {" ", "1"}},        {"12345", {"12345"}},
  };
  for (const Case& c : cases) {
    const Utf16String text = Wide(c.text);
    const EngineString string(text.c_str());
    EngineArray<EngineString> pieces;
    ASSERT_EQ(string.Split(pieces), static_cast<std::int32_t>(c.pieces.size())) << c.text;
    for (std::int32_t i = 0; i < pieces.Count(); ++i) {
      EXPECT_EQ(Narrow(pieces[i].Text()), c.pieces[static_cast<std::size_t>(i)]) << c.text;
      EXPECT_EQ(pieces[i].Count(), static_cast<std::int32_t>(c.pieces[i].size()) + 1);
    }
  }
}

TEST_F(EngineContainersTest, SplitPiecesAndTheirBlocksAreSizedAndReleasedInOrder) {
  const Utf16String text = Wide("0,4,5");
  const EngineString string(text.c_str());
  const Utf16String other = Wide("7,8");
  const EngineString otherString(other.c_str());
  std::vector<const void*> expectedReleases;
  SimServer::ClearAllocatorRecord();
  {
    EngineArray<EngineString> pieces;
    ASSERT_EQ(string.Split(pieces), 3);
    EXPECT_EQ(pieces.Capacity(), 4) << "the output grows once";
    for (std::int32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(pieces[i].Count(), 2);
      EXPECT_EQ(pieces[i].Capacity(), 4);
    }
    // The array's block first, then one block per piece.
    EXPECT_EQ(ReallocSizes(), (std::vector<std::uint64_t>{4 * sizeof(EngineString), 8, 8, 8}));

    // Splitting again releases the old pieces and keeps the array's block.
    const void* block = pieces.Data();
    SimServer::ClearAllocatorRecord();
    ASSERT_EQ(otherString.Split(pieces), 2);
    EXPECT_EQ(pieces.Data(), block);
    const auto calls = AllocatorCalls();
    ASSERT_EQ(calls.size(), 5U);
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(calls[i].kind, AllocatorCall::Kind::Free);
    EXPECT_EQ(Narrow(pieces[1].Text()), "8");
    expectedReleases = {pieces[0].Data(), pieces[1].Data(), pieces.Data()};
    SimServer::ClearAllocatorRecord();
  }
  // Released: each piece in index order, then the array's block.
  std::vector<const void*> released;
  for (const auto& call : AllocatorCalls()) {
    EXPECT_EQ(call.kind, AllocatorCall::Kind::Free);
    released.push_back(call.block);
  }
  EXPECT_EQ(released, expectedReleases);
}

TEST_F(EngineContainersTest, AServerOutOfMemoryLeavesTheContainerAsItWas) {
  SimServer::SetReallocFails(true);
  const Utf16String text = Wide("abcd");
  EXPECT_THROW(EngineString{text.c_str()}, std::bad_alloc);

  SimServer::SetReallocFails(false);
  EngineArray<std::int32_t> numbers;
  for (std::int32_t i = 0; i < 4; ++i)
    numbers.Add(i);
  const std::int32_t* block = numbers.Data();
  SimServer::SetReallocFails(true);
  EXPECT_THROW(numbers.Add(4), std::bad_alloc);
  EXPECT_EQ(numbers.Count(), 4);
  EXPECT_EQ(numbers.Capacity(), 4);
  EXPECT_EQ(numbers.Data(), block);
  EXPECT_EQ(numbers[3], 3);

  // A piece that cannot be allocated leaves the output with the pieces made before it.
  SimServer::SetReallocFails(false);
  const Utf16String list = Wide("1,2");
  const EngineString string(list.c_str());
  EngineArray<EngineString> pieces;
  pieces.Emplace(list.c_str());  // gives the output a block, so only pieces allocate
  SimServer::SetReallocFails(true);
  EXPECT_THROW(string.Split(pieces), std::bad_alloc);
  EXPECT_EQ(pieces.Count(), 0);
  SimServer::SetReallocFails(false);
}

TEST_F(EngineContainersTest, AllocatorIsLookedUpThroughTheHostOnEveryCall) {
  // Without the server's allocator there is no memory: reported, never written through.
  SimHost::Reset();
  const Utf16String text = Wide("abc");
  EXPECT_THROW(EngineString{text.c_str()}, std::bad_alloc);
  SimServer::RegisterAllocator();
  const EngineString string(text.c_str());
  EXPECT_EQ(string.Count(), 4);
}

}  // namespace
