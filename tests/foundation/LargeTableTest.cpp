// Storage for large tables: what a vector holds survives growing across the
// huge-page threshold, and large blocks start on a huge-page boundary. The
// index of addresses answers as a map does.

#include <foundation/memory/LargeTable.hpp>
#include <foundation/memory/PointerIndex.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

using foundation::memory::LargeTableAllocator;
using foundation::memory::largeBlockBytes;

TEST(LargeTableTest, AVectorKeepsItsValuesAsItGrowsPastTheThresholdAndShrinksBack) {
  std::vector<std::uint64_t, LargeTableAllocator<std::uint64_t>> table;
  const std::size_t count = 3 * largeBlockBytes / sizeof(std::uint64_t);  // reallocates across the threshold
  for (std::uint64_t i = 0; i < count; ++i) table.push_back(i * 0x9e3779b97f4a7c15u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(table.data()) % (std::uintptr_t{2} << 20), 0u);
  for (std::size_t i = 0; i < count; i += 4093) ASSERT_EQ(table[i], i * 0x9e3779b97f4a7c15u) << i;
  EXPECT_EQ(table.back(), (count - 1) * 0x9e3779b97f4a7c15u);
  table.resize(16);
  table.shrink_to_fit();  // a small block again
  EXPECT_EQ(table[15], 15 * 0x9e3779b97f4a7c15u);
  decltype(table)().swap(table);
  EXPECT_THROW(LargeTableAllocator<std::uint64_t>().allocate(~std::size_t{0} / 4), std::bad_array_new_length);
}

// Random keys collide at any load: inserts, lookups and erases drawn from
// pools of addresses about as large as the table (an erased address is
// replaced by a new one, so that runs of every shape form, some wrapping
// around the table's end), checked against a map as they go. The index
// keeps places in a container of the addresses (`keys`, whose erased places
// are null and must never be read). An erase that moves the wrong entry back
// loses it for good. In the last pools the addresses lie 4 GiB apart and
// share their tags: only the address read back tells them apart. Now and
// then the container cannot take an added address and the insert is taken
// back.
TEST(PointerIndexTest, InsertsLookupsAndErasesAnswerAsAMapDoes) {
  std::mt19937_64 random(11);
  const auto draw = [&](bool sameTags) {
    const std::uint64_t bits = sameTags ? (random() % 32768) << 32 | 0x5010 : (random() | 1) & ~std::uint64_t{0} >> 1;
    return reinterpret_cast<const void*>(bits);
  };
  const std::vector<std::pair<std::size_t, bool>> pools{{8, false},  {16, false}, {24, false}, {40, false},
                                                        {3000, false}, {16, true},  {40, true}};
  for (const auto& [poolSize, sameTags] : pools) {
    std::vector<const void*> pool(poolSize);
    for (const void*& key : pool) key = draw(sameTags);
    std::vector<const void*> keys;
    const auto keyOf = [&keys](std::uint32_t k) {
      EXPECT_NE(keys.at(k), nullptr) << "an erased place read";
      return keys.at(k);
    };
    foundation::memory::PointerIndex index;
    std::unordered_map<const void*, std::uint32_t> expected;
    for (std::uint32_t step = 0; step < (poolSize < 100 ? 200000 : 30000); ++step) {
      const void*& key = pool[random() % pool.size()];
      if (random() % 3 == 0) {
        index.erase(key, keyOf);
        if (const auto was = expected.find(key); was != expected.end()) keys[was->second] = nullptr, expected.erase(was);
        key = draw(sameTags);
      } else {
        const auto place = static_cast<std::uint32_t>(keys.size());
        const auto kept = expected.emplace(key, place);
        ASSERT_EQ(index.insert(key, place, keyOf), std::make_pair(kept.first->second, kept.second)) << step;
        if (kept.second && random() % 8 == 0) {
          index.takeBack(key, place, keyOf);
          expected.erase(key);
        } else if (kept.second) {
          keys.push_back(key);
        }
      }
      ASSERT_EQ(index.size(), expected.size());
      if (step % (poolSize / 8) != 0) continue;
      for (const auto& [k, value] : expected) ASSERT_EQ(index.find(k, keyOf), value) << poolSize << " " << step;
    }
  }
}

}  // namespace
