#include "server/database/mdb/block_allocator.h"

#include <gtest/gtest.h>

#include "server/database/mdb/cache_test_fixture.h"
#include "server/database/support/errors.h"
#include "server/database/support/metrics_table.h"

namespace mdb {
namespace {

using namespace mdb_testing;

class BlockAllocatorTest : public CacheFixture {
 protected:
  void SetUp() override {
    CacheFixture::SetUp();
    init_map(1, 256);
  }
  // Commits `image` as the content of block n and gives it `state`.
  static void store_image(std::uint32_t n, const std::vector<std::uint8_t>& image,
                          std::uint8_t state) {
    begin_transaction();
    log_update(image.data(), kTestBlock, block_offset(n));
    mark_block(n, state);
    end_transaction(true);
  }
  // Loads a map whose entries from D up to `entries` are lob blocks, but
  // for block `kept` when it is not 0.
  void fill_map(std::uint32_t map_blocks, std::uint32_t entries,
                std::uint32_t kept = 0) {
    reset_allocator();
    write_map_entries(kFirstDataBlock, entries - kFirstDataBlock, block_lob);
    if (kept != 0) write_map_entries(kept, 1, block_empty);
    init_map(1, map_blocks);
  }
};

std::uint32_t header_at(const dobj& object) {
  return support::load_be32(&object.data[object.offset]);
}

// A block whose piece at `offset` has a header without length.
std::vector<std::uint8_t> broken_at(std::uint32_t offset,
                                    const std::vector<Piece>& pieces) {
  std::vector<std::uint8_t> block = block_of_pieces(pieces);
  support::store_be32(&block[offset], 1);
  return block;
}

TEST_F(BlockAllocatorTest, ClassifyByPlaceholderSpace) {
  auto classify = [](const std::vector<Piece>& pieces) {
    return classify_block(block_of_pieces(pieces).data());
  };
  EXPECT_EQ(classify({{kTestBlock, true}}), block_empty);
  EXPECT_EQ(classify({{6144, false}, {2048, true}}), block_used);
  EXPECT_EQ(classify({{1024, true}, {6144, false}, {1024, true}}), block_used);
  EXPECT_EQ(classify({{6148, false}, {2044, true}}), block_full);
  // A piece without length ends the walk; what follows counts as occupied.
  EXPECT_EQ(classify_block(broken_at(4096, {{4096, true}, {4096, true}}).data()),
            block_used);
}

TEST_F(BlockAllocatorTest, FirstObjectGoesAfterTheIndexRoots) {
  begin_transaction();
  mark_block(257, block_index_root);
  mark_block(258, block_index_root);
  end_transaction(true);
  const std::uint64_t bloads = meter::alloc_bloads.value;
  const dobj first = allocate_space(0, 100);
  EXPECT_EQ(first.block, 259u);
  EXPECT_EQ(first.offset, 0u);
  EXPECT_EQ(header_at(first), kTestBlock + 1);
  EXPECT_EQ(query_block(259), block_used);
  EXPECT_EQ(last_good_block(), 259u);
  EXPECT_EQ(allocate_empty_block(0), 260u);

  // The next allocation searches the last good block.
  EXPECT_EQ(allocate_space(0, 100).block, 259u);
  EXPECT_EQ(meter::alloc_bloads.value, bloads + 1);

  // Without a last good block the scan runs from D again.
  reopen();
  init_map(1, 256);
  EXPECT_EQ(query_block(259), block_used);
  EXPECT_EQ(allocate_space(0, 100).block, 259u);
}

TEST_F(BlockAllocatorTest, PlaceholderSearch) {
  // Placeholders of 1000 at 0, 500 at 4000, 1200 at 4500, 1000 at 5700.
  store_image(300, block_of_pieces({{1000, true}, {3000, false}, {500, true},
                                    {1200, true}, {1000, true}, {1492, false}}),
              block_used);
  // The search stops at 4500, where 2700 free bytes have been seen; the
  // last fitting placeholder up to there is the answer.
  placeholder_search r = find_placeholder(300, 400);
  EXPECT_EQ(r.offset, 4500u);
  EXPECT_FALSE(r.full);
  r = find_placeholder(300, 1201);  // fits nowhere; not full
  EXPECT_FALSE(r.offset);
  EXPECT_FALSE(r.full);

  store_image(301, block_of_pieces({{7000, false}, {600, true}, {592, true}}),
              block_used);
  r = find_placeholder(301, 500);
  EXPECT_EQ(r.offset, 7600u);
  EXPECT_TRUE(r.full);

  expect_error<error_internal>([] { find_placeholder(302, 8); },
                               "Search for placeholder in empty block");
  store_image(302, broken_at(1000, {{1000, false}, {7192, true}}), block_used);
  expect_error<error_consistency>(
      [] { find_placeholder(302, 8); },
      "Object at offset 1000 in block 302 has zero length");
}

TEST_F(BlockAllocatorTest, HintedAllocations) {
  const std::uint64_t hintfail = meter::alloc_hintfail.value;
  EXPECT_EQ(allocate_space(320, 100).block, 320u);
  EXPECT_EQ(last_good_block(), 320u);

  // A full hint block without room: the hint fails and the scan goes on
  // from the last good block.
  store_image(330, block_of_pieces({{7000, false}, {1192, true}}), block_full);
  EXPECT_EQ(allocate_space(330, 2000).block, 320u);
  EXPECT_EQ(meter::alloc_hintfail.value, hintfail + 1);

  // A full hint block with room serves the hint but does not become the
  // last good block.
  const dobj in_full = allocate_space(330, 1000);
  EXPECT_EQ(in_full.block, 330u);
  EXPECT_EQ(in_full.offset, 7000u);
  EXPECT_EQ(header_at(in_full), 1192u + 1);
  EXPECT_EQ(last_good_block(), 320u);
}

TEST_F(BlockAllocatorTest, FailingLastGoodBlockIsMarkedFullAndForgotten) {
  EXPECT_EQ(allocate_space(kStoreBlocks - 1, 8).block, kStoreBlocks - 1);
  store_image(kStoreBlocks - 1, block_of_pieces({{7200, false}, {992, true}}),
              block_used);
  const std::uint64_t lastfail = meter::alloc_lastfail.value;
  EXPECT_EQ(diagnostics_of(kDiagInfo, [] {
              EXPECT_EQ(allocate_space(0, 2000).block, kFirstDataBlock);
            }),
            "Marked block 384 as full\n");
  EXPECT_EQ(query_block(kStoreBlocks - 1), block_full);
  EXPECT_EQ(meter::alloc_lastfail.value, lastfail + 1);
  EXPECT_EQ(last_good_block(), kFirstDataBlock);
}

TEST_F(BlockAllocatorTest, AllocationsGrowTheStore) {
  fill_map(256, kStoreBlocks);
  ASSERT_FALSE(block_in_file(kStoreBlocks));
  EXPECT_EQ(allocate_space(0, 100).block, kStoreBlocks);
  EXPECT_TRUE(block_in_file(kStoreBlocks));
  EXPECT_EQ(allocate_empty_block(0), kStoreBlocks + 1);
  ASSERT_FALSE(block_in_file(600));
  EXPECT_EQ(allocate_empty_block(600), 600u);
  EXPECT_TRUE(block_in_file(600));
}

TEST_F(BlockAllocatorTest, NoSpaceLeft) {
  // A map of one block covers blocks 0 .. 8191; all from D on are lob blocks
  // except 300.
  fill_map(1, kTestBlock, 300);
  // The hinted search for an empty block falls back to a scan from D.
  EXPECT_EQ(allocate_empty_block(5000), 300u);
  begin_transaction();
  mark_block(300, block_index_leaf);
  end_transaction(true);

  EXPECT_EQ(diagnostics_of(kDiagWarning, [] {
              expect_error<error_dbnospace>([] { allocate_empty_block(5000); },
                                            "No empty blocks in meta database");
            }),
            "No valid empty block found for empty block allocation\n");
  EXPECT_EQ(diagnostics_of(kDiagWarning, [] {
              expect_error<error_dbnospace>([] { allocate_space(0, 100); },
                                            "No free blocks in meta database");
            }),
            "No valid block found for space allocation\n");
}

}  // namespace
}  // namespace mdb
