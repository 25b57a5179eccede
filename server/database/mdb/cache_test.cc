// The buffer cache and its index, the allocation map and the allocator, on a fresh MDB (D = 257,
// 385 blocks). The model tests run them at small caches and blocks; these are the rules and
// messages the models do not pin down.
#include "server/database/mdb/buffer_cache.h"

#include <gtest/gtest.h>

#include <vector>

#include "server/database/mdb/allocation_map.h"
#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/block_cache_index.h"
#include "server/database/mdb/mdb_test_fixture.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/support/metrics_table.h"

namespace mdb {
namespace {

using namespace mdb_testing;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kCovered = 256 * kTestBlock;  // blocks the map covers

class CacheTest : public StartedMdb {
 protected:
  static Bytes cached(std::uint32_t n, std::size_t count) {
    const std::uint8_t* image = get_block(n);
    return {image, image + count};
  }
  static void write_behind_the_cache(std::uint32_t n, const Bytes& bytes) {
    database().store.write_bytes(bytes.data(), std::uint64_t{n} * kTestBlock, bytes.size(), false);
  }
  // Writes map entries into the file, as an earlier run left them.
  void write_map_entries(std::uint32_t first, std::uint32_t count, std::uint8_t state) {
    reset_allocator();
    const Bytes bytes(count, state);
    database().store.write_bytes(bytes.data(), kTestBlock + first, count, false);
  }
};

TEST_F(CacheTest, HitsMissesAndLeastRecentlyUsedEviction) {
  const std::uint64_t misses = meter::buffercache_misses.value;
  write_behind_the_cache(300, pattern(16, 1));
  EXPECT_EQ(cached(300, 16), pattern(16, 1));
  // Later gets are served from memory: a change behind the cache's back does not show.
  write_behind_the_cache(300, pattern(16, 50));
  EXPECT_EQ(cached(300, 16), pattern(16, 1));
  EXPECT_EQ(meter::buffercache_misses.value, misses + 1);

  set_buffer_cache_capacity(4);
  for (std::uint32_t n = 10; n < 14; ++n) get_block(n);
  get_block(10);  // 11 is now the least recently used
  get_block(14);
  EXPECT_FALSE(block_cached(11));
  for (std::uint32_t n : {10u, 12u, 13u, 14u}) EXPECT_TRUE(block_cached(n)) << n;

  // A failed load evicts its victim but enters nothing; the capacity holds.
  set_buffer_cache_capacity(2);
  get_block(10);
  get_block(11);
  EXPECT_THROW(get_block(kCovered), error_io);
  EXPECT_FALSE(block_cached(kCovered));
  EXPECT_FALSE(block_cached(10));
  EXPECT_EQ(buffer_cache_stats().count, 1u);
  EXPECT_EQ(buffer_cache_stats().index.used, 1u);
  get_block(12);
  get_block(13);
  EXPECT_EQ(buffer_cache_stats().count, 2u);
}

TEST(BlockCacheIndex, DeletedSlotsAreRehashedAtTheSameSize) {
  BlockCacheIndex index;
  // Deleted slots pile up until they outnumber twice the used slots; then
  // the table is rebuilt at the same size.
  index.insert(0, 0);
  for (std::uint32_t key = 1; index.stats().rehashes == 0; ++key) {
    ASSERT_LT(key, 100u);
    index.insert(key, key);
    ASSERT_TRUE(index.remove(key));
    ASSERT_FALSE(index.remove(key));
  }
  EXPECT_EQ(index.stats().size, 509u);
  EXPECT_EQ(index.stats().non_empty, 2u);
  EXPECT_EQ(index.find(0), 0u);
}

TEST_F(CacheTest, AllocationMapRangesAndStates) {
  expect_error<error_range>([] { query_block(kCovered); },
                            "Block 2097152 for mark query is out of range");
  expect_error<error_range>([] { mark_block(kCovered, 1); },
                            "Block 2097152 for marking is out of range");
  // A change that cannot be logged is not made.
  expect_error<error_internal>([] { mark_block(300, block_used); },
                               "Update outside of transaction attempted");
  EXPECT_EQ(query_block(300), block_empty);

  write_map_entries(300, 1, 3);
  expect_error<error_consistency>([] { init_map(1, 256); },
                                  "Unknown alloc. bitmap (3) for block 300");
  write_map_entries(300, 1, 7);
  write_map_entries(kCovered - 2, 1, 8);
  expect_error<error_consistency>([] { init_map(1, 256); },
                                  "Unknown alloc. bitmap (8) for block 2097150");
  shut_down();
  expect_error<error_internal>(
      [] { init_map(1, 256); },
      "Allocation map initialization attempted before block size was found");
}

// A block image made of pieces {length, placeholder}, back to back.
Bytes block_of_pieces(const std::vector<std::pair<std::uint32_t, bool>>& pieces) {
  Bytes block(kTestBlock, 0xAB);
  std::uint32_t offset = 0;
  for (const auto& [length, placeholder] : pieces) {
    support::store_be32(&block[offset], length | (placeholder ? 1 : 0));
    offset += length;
  }
  return block;
}

TEST_F(CacheTest, BlockStatesAndAllocationFailures) {
  // Full below a quarter of placeholder space.
  EXPECT_EQ(classify_block(block_of_pieces({{kTestBlock, true}}).data()), block_empty);
  EXPECT_EQ(classify_block(block_of_pieces({{6144, false}, {2048, true}}).data()), block_used);
  EXPECT_EQ(classify_block(block_of_pieces({{6148, false}, {2044, true}}).data()), block_full);
  // A piece without length ends the walk; what follows counts as occupied.
  Bytes broken = block_of_pieces({{1000, false}, {7192, true}});
  support::store_be32(&broken[1000], 1);
  EXPECT_EQ(classify_block(broken.data()), block_full);

  expect_error<error_internal>([] { find_placeholder(302, 8); },
                               "Search for placeholder in empty block");
  in_transaction([&] {
    log_update(broken.data(), kTestBlock, block_offset(302));
    mark_block(302, block_used);
  });
  expect_error<error_consistency>([] { find_placeholder(302, 8); },
                                  "Object at offset 1000 in block 302 has zero length");

  // A map of one block covers blocks 0 .. 8191; all from D on are lob
  // blocks but 300, which the hinted search finds from D again.
  write_map_entries(257u, kTestBlock - 257u, block_lob);
  write_map_entries(300, 1, block_empty);
  init_map(1, 1);
  EXPECT_EQ(allocate_empty_block(5000), 300u);
  in_transaction([] { mark_block(300, block_index_leaf); });
  diagnostic_mask().set(kDiagWarning);
  EXPECT_EQ(stderr_of([] {
              expect_error<error_dbnospace>([] { allocate_empty_block(5000); },
                                            "No empty blocks in meta database");
              expect_error<error_dbnospace>([] { allocate_space(0, 100); },
                                            "No free blocks in meta database");
            }),
            "No valid empty block found for empty block allocation\n"
            "No valid block found for space allocation\n");
}

}  // namespace
}  // namespace mdb
