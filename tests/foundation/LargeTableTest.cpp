// Storage for large tables: what a vector holds survives growing across the
// huge-page threshold, and large blocks start on a huge-page boundary.

#include <foundation/memory/LargeTable.hpp>

#include <gtest/gtest.h>

#include <cstdint>
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

}  // namespace
