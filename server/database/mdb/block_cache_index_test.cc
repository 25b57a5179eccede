#include "server/database/mdb/block_cache_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace mdb {
namespace {

// Keys whose hashes land on the same slot of the 509-slot table.
std::vector<std::uint32_t> colliding_keys(std::size_t count) {
  std::vector<std::uint32_t> keys;
  const std::uint32_t home = (7u * 0x9E3779B1u) % 509;
  for (std::uint32_t k = 0; keys.size() < count; ++k) {
    if ((k * 0x9E3779B1u) % 509 == home) keys.push_back(k);
  }
  return keys;
}

TEST(BlockCacheIndex, SizesAreTheLargestPrimesBelowPowersOfTwo) {
  EXPECT_EQ(kCacheTableSizes.front(), 509u);
  EXPECT_EQ(kCacheTableSizes[1], 1021u);
  EXPECT_EQ(kCacheTableSizes[22], 2147483647u);
  EXPECT_EQ(kCacheTableSizes.back(), 4294967291u);
  for (std::size_t i = 0; i < 6; ++i) {  // small enough to check by division
    const std::uint32_t p = kCacheTableSizes[i];
    EXPECT_LT(p, 1u << (9 + i));
    EXPECT_GT(p, 1u << (8 + i));
    for (std::uint32_t d = 2; d * d <= p; ++d) ASSERT_NE(p % d, 0u) << p;
  }
}

TEST(BlockCacheIndex, GrowsWhenMoreThanAQuarterIsUsed) {
  BlockCacheIndex index;
  for (std::uint32_t k = 0; k < 127; ++k) index.insert(k * 3, k);
  EXPECT_EQ(index.stats().size, 509u);
  EXPECT_EQ(index.stats().rehashes, 0u);
  index.insert(1000, 127);  // 128 * 4 > 509
  EXPECT_EQ(index.stats().size, 1021u);
  EXPECT_EQ(index.stats().used, 128u);
  EXPECT_EQ(index.stats().non_empty, 128u);
  EXPECT_EQ(index.stats().rehashes, 1u);
  for (std::uint32_t k = 0; k < 127; ++k) ASSERT_EQ(index.find(k * 3), k);
  EXPECT_EQ(index.find(1000), 127u);
  EXPECT_FALSE(index.find(1));

  index.insert(1000, 5);  // a present key keeps its position
  EXPECT_EQ(index.find(1000), 127u);
  EXPECT_EQ(index.stats().used, 128u);

  index.clear();
  EXPECT_EQ(index.stats().size, 509u);
  EXPECT_EQ(index.stats().used, 0u);
  EXPECT_FALSE(index.find(0));
}

TEST(BlockCacheIndex, CollisionsProbeOnPastDeletedSlots) {
  BlockCacheIndex index;
  const std::vector<std::uint32_t> keys = colliding_keys(4);
  for (std::uint32_t i = 0; i < 4; ++i) index.insert(keys[i], i);
  const std::uint64_t probes = index.stats().extra_probes;
  EXPECT_EQ(index.find(keys[3]), 3u);
  EXPECT_EQ(index.stats().extra_probes, probes + 3);

  // Removing keys in the middle of the run leaves deleted slots that the
  // lookups of the keys behind them pass over.
  EXPECT_TRUE(index.remove(keys[1]));
  EXPECT_FALSE(index.remove(keys[1]));
  EXPECT_EQ(index.stats().used, 3u);
  EXPECT_EQ(index.stats().non_empty, 4u);
  EXPECT_FALSE(index.find(keys[1]));
  EXPECT_EQ(index.find(keys[3]), 3u);

  // A new key reuses the first deleted slot of its probe run.
  index.insert(keys[1], 9);
  EXPECT_EQ(index.stats().non_empty, 4u);
  EXPECT_EQ(index.find(keys[1]), 9u);
}

TEST(BlockCacheIndex, TooManyDeletedSlotsRehashAtTheSameSize) {
  BlockCacheIndex index;
  // One key stays; each round adds a key and removes it again, so deleted
  // slots pile up until they outnumber twice the used slots.
  index.insert(0, 0);
  std::uint32_t key = 1;
  while (index.stats().rehashes == 0) {
    index.insert(key, key);
    ASSERT_LE(index.stats().non_empty, 3 * index.stats().used);
    ASSERT_TRUE(index.remove(key));
    ++key;
    ASSERT_LT(key, 100u);
  }
  EXPECT_EQ(index.stats().size, 509u);
  // The rehash came with the insert that made non-empty exceed 3 * used.
  EXPECT_EQ(index.stats().non_empty, 2u);
  EXPECT_EQ(index.stats().used, 1u);
  EXPECT_EQ(index.find(0), 0u);
}

}  // namespace
}  // namespace mdb
