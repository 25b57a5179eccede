#include "server/database/mdb/block_cache_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace mdb {
namespace {

TEST(BlockCacheIndex, GrowsWhenMoreThanAQuarterIsUsed) {
  BlockCacheIndex index;
  for (std::uint32_t k = 0; k < 127; ++k) index.insert(k * 3, k);
  EXPECT_EQ(index.stats().size, 509u);
  index.insert(1000, 127);  // 128 * 4 > 509
  EXPECT_EQ(index.stats().size, 1021u);
  EXPECT_EQ(index.stats().used, 128u);
  EXPECT_EQ(index.stats().non_empty, 128u);
  EXPECT_EQ(index.stats().rehashes, 1u);
  for (std::uint32_t k = 0; k < 127; ++k) ASSERT_EQ(index.find(k * 3), k);
  EXPECT_FALSE(index.find(1));

  index.insert(1000, 5);  // a present key keeps its position
  EXPECT_EQ(index.find(1000), 127u);
  EXPECT_EQ(index.stats().used, 128u);

  index.clear();
  EXPECT_EQ(index.stats().size, 509u);
  EXPECT_FALSE(index.find(0));
}

TEST(BlockCacheIndex, CollisionsProbeOnPastDeletedSlots) {
  // Keys whose hashes land on the same slot of the 509-slot table.
  std::vector<std::uint32_t> keys;
  for (std::uint32_t k = 0; keys.size() < 4; ++k) {
    if ((k * 0x9E3779B1u) % 509 == (7u * 0x9E3779B1u) % 509) keys.push_back(k);
  }
  BlockCacheIndex index;
  for (std::uint32_t i = 0; i < 4; ++i) index.insert(keys[i], i);
  const std::uint64_t probes = index.stats().extra_probes;
  EXPECT_EQ(index.find(keys[3]), 3u);
  EXPECT_EQ(index.stats().extra_probes, probes + 3);

  // Removing a key in the middle of the run leaves a deleted slot that the
  // lookups of the keys behind it pass over.
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
  // One key stays; each round adds a key and removes it again, so deleted
  // slots pile up until they outnumber twice the used slots.
  BlockCacheIndex index;
  index.insert(0, 0);
  for (std::uint32_t key = 1; index.stats().rehashes == 0; ++key) {
    ASSERT_LT(key, 100u);
    index.insert(key, key);
    ASSERT_LE(index.stats().non_empty, 3 * index.stats().used);
    ASSERT_TRUE(index.remove(key));
  }
  EXPECT_EQ(index.stats().size, 509u);
  EXPECT_EQ(index.stats().non_empty, 2u);
  EXPECT_EQ(index.stats().used, 1u);
  EXPECT_EQ(index.find(0), 0u);
}

}  // namespace
}  // namespace mdb
