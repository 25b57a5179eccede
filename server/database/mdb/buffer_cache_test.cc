#include "server/database/mdb/buffer_cache.h"

#include <gtest/gtest.h>

#include <vector>

#include "server/database/mdb/cache_test_fixture.h"
#include "server/database/mdb/journal_scan.h"
#include "server/database/support/errors.h"
#include "server/database/support/metrics_table.h"

namespace mdb {
namespace {

using namespace mdb_testing;
using Bytes = std::vector<std::uint8_t>;

class BufferCacheTest : public CacheFixture {
 protected:
  static Bytes cached_bytes(std::uint32_t n, std::uint32_t offset,
                            std::size_t count) {
    const std::uint8_t* image = get_block(n);
    return {image + offset, image + offset + count};
  }
  static void write_behind_the_cache(std::uint32_t n, const Bytes& bytes) {
    database().store.write_bytes(bytes.data(), std::uint64_t{n} * kTestBlock,
                                 bytes.size(), false);
  }
};

TEST_F(BufferCacheTest, MissThenHitReadsTheDiskOnce) {
  const std::uint64_t hits = meter::buffercache_hits.value;
  const std::uint64_t misses = meter::buffercache_misses.value;
  write_behind_the_cache(300, pattern(16, 1));
  EXPECT_EQ(cached_bytes(300, 0, 16), pattern(16, 1));

  // Later gets are served from memory: a change behind the cache's back
  // does not show.
  write_behind_the_cache(300, pattern(16, 50));
  EXPECT_EQ(cached_bytes(300, 0, 16), pattern(16, 1));
  Bytes copy(kTestBlock);
  copy_block(copy.data(), 300);
  EXPECT_EQ(Bytes(copy.begin(), copy.begin() + 16), pattern(16, 1));
  EXPECT_EQ(meter::buffercache_misses.value, misses + 1);
  EXPECT_EQ(meter::buffercache_hits.value, hits + 2);
  EXPECT_EQ(meter::buffercache_block_count, 1u);
  reset_buffer_cache();
  EXPECT_EQ(meter::buffercache_size_kb(), 0u);
  EXPECT_FALSE(block_cached(300));
}

TEST_F(BufferCacheTest, EvictsTheLeastRecentlyUsedBlock) {
  set_buffer_cache_capacity(4);
  for (std::uint32_t n = 10; n < 14; ++n) get_block(n);
  get_block(10);  // 11 is now the least recently used
  get_block(14);
  EXPECT_EQ(buffer_cache_stats().count, 4u);
  EXPECT_FALSE(block_cached(11));
  for (std::uint32_t n : {10u, 12u, 13u, 14u}) EXPECT_TRUE(block_cached(n)) << n;
  EXPECT_EQ(buffer_cache_stats().index.used, 4u);

  // The evicted block is a miss again and reads what the disk holds now.
  write_behind_the_cache(11, pattern(8, 7));
  EXPECT_EQ(cached_bytes(11, 0, 8), pattern(8, 7));
  EXPECT_FALSE(block_cached(12));
}

TEST_F(BufferCacheTest, CommittedChangesSurviveEvictionAndReload) {
  hold_checkpoints();  // the commits stay in the journal only
  set_buffer_cache_capacity(2);
  get_block(300);
  commit(300, 100, pattern(12, 1));
  // Straddles blocks 300 and 301; 301 is not cached.
  commit(300, kTestBlock - 4, pattern(8, 40));
  EXPECT_EQ(cached_bytes(300, 100, 12), pattern(12, 1));
  EXPECT_EQ(mdb_bytes(300 * kTestBlock + 100, 12), Bytes(12));

  get_block(310);
  get_block(311);
  ASSERT_FALSE(block_cached(300));
  EXPECT_EQ(cached_bytes(300, 100, 12), pattern(12, 1));
  EXPECT_EQ(cached_bytes(300, kTestBlock - 4, 4), pattern(4, 40));
  EXPECT_EQ(cached_bytes(301, 0, 4), pattern(4, 44));

  // Once the checkpoint has copied the commits into the file, a reload
  // reads them from there.
  apply_committed();
  EXPECT_EQ(mdb_bytes(300 * kTestBlock + 100, 12), pattern(12, 1));
  get_block(310);
  get_block(311);
  EXPECT_EQ(cached_bytes(301, 0, 4), pattern(4, 44));
}

TEST_F(BufferCacheTest, PrivateCopyAddsTheOpenTransaction) {
  hold_checkpoints();
  commit(320, 0, pattern(4, 1));
  begin_transaction();
  log_update(pattern(4, 9).data(), 4, 320 * kTestBlock + 4);
  BlockCopy copy = private_copy(320);
  ASSERT_EQ(copy.size(), kTestBlock);
  const Bytes both{1, 2, 3, 4, 9, 10, 11, 12};
  EXPECT_EQ(Bytes(copy.begin(), copy.begin() + 8), both);
  EXPECT_EQ(cached_bytes(320, 4, 4), Bytes(4));
  copy[0] = 0xFF;  // the copy is the caller's own
  EXPECT_EQ(cached_bytes(320, 0, 1), Bytes{1});
  end_transaction(true);
  EXPECT_EQ(cached_bytes(320, 0, 8), both);
}

TEST_F(BufferCacheTest, FailedLoadLeavesNothingBehind) {
  set_buffer_cache_capacity(2);
  get_block(10);
  get_block(11);
  EXPECT_THROW(get_block(kStoreBlocks + 10), error_io);
  // The evicted block is gone, the failed one was not entered.
  EXPECT_FALSE(block_cached(kStoreBlocks + 10));
  EXPECT_FALSE(block_cached(10));
  EXPECT_EQ(buffer_cache_stats().count, 1u);
  EXPECT_EQ(buffer_cache_stats().index.used, 1u);
  EXPECT_THROW(get_block(kStoreBlocks + 10), error_io);
  EXPECT_EQ(buffer_cache_stats().count, 1u);

  // The spare entry is used again and the capacity still holds.
  write_behind_the_cache(12, pattern(4, 3));
  EXPECT_EQ(cached_bytes(12, 0, 4), pattern(4, 3));
  get_block(13);
  EXPECT_EQ(buffer_cache_stats().count, 2u);
  EXPECT_FALSE(block_cached(11));
}

}  // namespace
}  // namespace mdb
