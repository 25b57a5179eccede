#include "server/database/mdb/block_allocator.h"

#include <gtest/gtest.h>

#include "server/database/mdb/cache_test_fixture.h"
#include "server/database/mdb/header.h"
#include "server/database/support/errors.h"
#include "server/database/support/metrics_table.h"

namespace mdb {
namespace {

using mdb_testing::block_of_pieces;
using mdb_testing::expect_error;
using mdb_testing::kFirstDataBlock;
using mdb_testing::kStoreBlocks;
using mdb_testing::kTestBlock;
using mdb_testing::Piece;
using mdb_testing::stderr_of;

struct AllocCounts {
  std::uint64_t nohint = meter::alloc_nohint_calls.value;
  std::uint64_t hint = meter::alloc_hint_calls.value;
  std::uint64_t hintfail = meter::alloc_hintfail.value;
  std::uint64_t lastfail = meter::alloc_lastfail.value;
  std::uint64_t bloads = meter::alloc_bloads.value;
};

class BlockAllocatorTest : public mdb_testing::CacheFixture {
 protected:
  void SetUp() override {
    CacheFixture::SetUp();
    init_map(1, 256);
  }
  // Commits `pieces` as the content of block n and gives it `state`.
  void store_block(std::uint32_t n, const std::vector<Piece>& pieces,
                   std::uint8_t state) {
    const std::vector<std::uint8_t> block = block_of_pieces(pieces);
    begin_transaction();
    log_update(block.data(), kTestBlock, block_offset(n));
    mark_block(n, state);
    end_transaction(true);
  }
  template <typename Action>
  std::string diagnostics_of(std::uint32_t mask, Action&& action) {
    diagnostic_mask().set(mask);
    const std::string lines = stderr_of(action);
    diagnostic_mask().set(0);
    return lines;
  }
};

std::uint32_t header_at(const dobj& object) {
  return support::load_be32(&object.data[object.offset]);
}

TEST_F(BlockAllocatorTest, ClassifyByPlaceholderSpace) {
  EXPECT_EQ(classify_block(block_of_pieces({{kTestBlock, true}}).data()),
            block_empty);
  EXPECT_EQ(classify_block(block_of_pieces({{6144, false}, {2048, true}}).data()),
            block_used);
  EXPECT_EQ(classify_block(
                block_of_pieces({{1024, true}, {6144, false}, {1024, true}}).data()),
            block_used);
  EXPECT_EQ(classify_block(block_of_pieces({{6148, false}, {2044, true}}).data()),
            block_full);
  EXPECT_EQ(classify_block(block_of_pieces({{kTestBlock, false}}).data()),
            block_full);
  // A piece without length ends the walk; what follows counts as occupied.
  std::vector<std::uint8_t> broken = block_of_pieces({{4096, true}, {4096, true}});
  support::store_be32(&broken[4096], 1);
  EXPECT_EQ(classify_block(broken.data()), block_used);
}

TEST_F(BlockAllocatorTest, FirstObjectGoesAfterTheIndexRoots) {
  begin_transaction();
  mark_block(257, block_index_root);
  mark_block(258, block_index_root);
  end_transaction(true);
  const AllocCounts before;
  const dobj first = allocate_space(0, 100);
  EXPECT_EQ(first.block, 259u);
  EXPECT_EQ(first.offset, 0u);
  ASSERT_EQ(first.data.size(), kTestBlock);
  EXPECT_EQ(header_at(first), kTestBlock + 1);
  EXPECT_EQ(query_block(259), block_used);
  EXPECT_EQ(last_good_block(), 259u);
  EXPECT_EQ(meter::alloc_nohint_calls.value, before.nohint + 1);
  EXPECT_EQ(support::load_be32(get_block(259)), kTestBlock + 1);

  // The next allocation searches the last good block.
  const dobj second = allocate_space(0, 100);
  EXPECT_EQ(second.block, 259u);
  EXPECT_EQ(second.offset, 0u);
  EXPECT_EQ(meter::alloc_bloads.value, before.bloads + 1);

  reopen();
  EXPECT_EQ(mdb_bytes(259 * kTestBlock, 4),
            (std::vector<std::uint8_t>{0, 0, 0x20, 0x01}));
  init_map(1, 256);
  EXPECT_EQ(query_block(259), block_used);
  // Without a last good block the scan runs from D again.
  EXPECT_EQ(allocate_space(0, 100).block, 259u);
}

TEST_F(BlockAllocatorTest, WithoutIndexRootsTheFirstDataBlockIsTaken) {
  EXPECT_EQ(allocate_space(0, 4).block, kFirstDataBlock);
  EXPECT_EQ(allocate_empty_block(0), kFirstDataBlock + 1);
}

TEST_F(BlockAllocatorTest, PlaceholderSearch) {
  // Placeholders of 1000 at 0, 500 at 4000, 1200 at 4500, 1000 at 5700.
  store_block(300, {{1000, true}, {3000, false}, {500, true}, {1200, true},
                    {1000, true}, {1492, false}},
              block_used);
  const AllocCounts before;
  // The search stops at 4500, where 2700 free bytes have been seen; the
  // last fitting placeholder up to there is the answer.
  placeholder_search r = find_placeholder(300, 400);
  EXPECT_EQ(r.offset, 4500u);
  EXPECT_FALSE(r.full);
  r = find_placeholder(300, 1100);
  EXPECT_EQ(r.offset, 4500u);
  r = find_placeholder(300, 1201);  // fits nowhere; not full
  EXPECT_FALSE(r.offset);
  EXPECT_FALSE(r.full);
  EXPECT_EQ(meter::alloc_bloads.value, before.bloads + 3);

  store_block(301, {{7000, false}, {600, true}, {592, true}}, block_used);
  r = find_placeholder(301, 500);
  EXPECT_EQ(r.offset, 7600u);
  EXPECT_TRUE(r.full);

  expect_error<error_internal>([] { find_placeholder(302, 8); },
                               "Search for placeholder in empty block");
  std::vector<std::uint8_t> broken = block_of_pieces({{1000, false}, {7192, true}});
  support::store_be32(&broken[1000], 1);
  begin_transaction();
  log_update(broken.data(), kTestBlock, block_offset(302));
  mark_block(302, block_used);
  end_transaction(true);
  expect_error<error_consistency>(
      [] { find_placeholder(302, 8); },
      "Object at offset 1000 in block 302 has zero length");
}

TEST_F(BlockAllocatorTest, HintedAllocations) {
  const AllocCounts before;
  const dobj in_empty = allocate_space(320, 100);
  EXPECT_EQ(in_empty.block, 320u);
  EXPECT_EQ(last_good_block(), 320u);

  // A full hint block without room: the hint fails and the scan goes on
  // from the last good block.
  store_block(330, {{7000, false}, {1192, true}}, block_full);
  const dobj elsewhere = allocate_space(330, 2000);
  EXPECT_EQ(elsewhere.block, 320u);
  EXPECT_EQ(meter::alloc_hint_calls.value, before.hint + 2);
  EXPECT_EQ(meter::alloc_hintfail.value, before.hintfail + 1);

  // A full hint block with room serves the hint but does not become the
  // last good block.
  const dobj in_full = allocate_space(330, 1000);
  EXPECT_EQ(in_full.block, 330u);
  EXPECT_EQ(in_full.offset, 7000u);
  EXPECT_EQ(header_at(in_full), 1192u + 1);
  EXPECT_EQ(meter::alloc_hintfail.value, before.hintfail + 1);
  EXPECT_EQ(last_good_block(), 320u);
  EXPECT_EQ(meter::alloc_nohint_calls.value, before.nohint);
}

TEST_F(BlockAllocatorTest, FailingLastGoodBlockIsMarkedFullAndForgotten) {
  EXPECT_EQ(allocate_space(kStoreBlocks - 1, 8).block, kStoreBlocks - 1);
  store_block(kStoreBlocks - 1, {{7200, false}, {992, true}}, block_used);
  const AllocCounts before;
  std::string lines = diagnostics_of(kDiagInfo, [&] {
    EXPECT_EQ(allocate_space(0, 2000).block, kFirstDataBlock);
  });
  EXPECT_EQ(lines, "Marked block 384 as full\n");
  EXPECT_EQ(query_block(kStoreBlocks - 1), block_full);
  EXPECT_EQ(meter::alloc_lastfail.value, before.lastfail + 1);
  EXPECT_EQ(last_good_block(), kFirstDataBlock);
}

TEST_F(BlockAllocatorTest, AllocationsGrowTheStore) {
  reset_allocator();
  write_map_entries(kFirstDataBlock, kStoreBlocks - kFirstDataBlock, block_lob);
  init_map(1, 256);
  ASSERT_FALSE(block_in_file(kStoreBlocks));
  EXPECT_EQ(allocate_space(0, 100).block, kStoreBlocks);
  EXPECT_TRUE(block_in_file(kStoreBlocks));
  EXPECT_EQ(allocate_empty_block(0), kStoreBlocks + 1);
  const std::uint32_t far = 600;
  ASSERT_FALSE(block_in_file(far));
  EXPECT_EQ(allocate_empty_block(far), far);
  EXPECT_TRUE(block_in_file(far));
}

TEST_F(BlockAllocatorTest, NoSpaceLeft) {
  // A map of one block covers blocks 0 .. 8191; all from D on are lob blocks
  // except 300.
  reset_allocator();
  write_map_entries(kFirstDataBlock, kTestBlock - kFirstDataBlock, block_lob);
  write_map_entries(300, 1, block_empty);
  init_map(1, 1);
  // The hinted search for an empty block falls back to a scan from D.
  EXPECT_EQ(allocate_empty_block(5000), 300u);
  begin_transaction();
  mark_block(300, block_index_leaf);
  end_transaction(true);

  std::string lines = diagnostics_of(kDiagWarning, [] {
    expect_error<error_dbnospace>([] { allocate_empty_block(5000); },
                                  "No empty blocks in meta database");
  });
  EXPECT_EQ(lines, "No valid empty block found for empty block allocation\n");
  lines = diagnostics_of(kDiagWarning, [] {
    expect_error<error_dbnospace>([] { allocate_space(0, 100); },
                                  "No free blocks in meta database");
  });
  EXPECT_EQ(lines, "No valid block found for space allocation\n");
}

}  // namespace
}  // namespace mdb
