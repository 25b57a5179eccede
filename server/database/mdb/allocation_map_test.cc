#include "server/database/mdb/allocation_map.h"

#include <gtest/gtest.h>

#include "server/database/mdb/cache_test_fixture.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using namespace mdb_testing;

constexpr std::uint32_t kMapBlocks = 256;
constexpr std::uint32_t kCovered = kMapBlocks * kTestBlock;  // 2,097,152

using AllocationMapTest = CacheFixture;

TEST_F(AllocationMapTest, ChangesAreLoggedAndSurviveAReopen) {
  init_map(1, kMapBlocks);
  // The scan keeps only a few map blocks loaded.
  EXPECT_LT(allocation_map().loaded_blocks(), 4u);
  EXPECT_EQ(get_state(kCovered - 1), block_empty);
  hold_checkpoints();
  begin_transaction();
  mark_block(257, block_index_root);
  mark_block(9000, block_index_leaf);  // in the second map block
  mark_block(kCovered - 1, block_lob);
  EXPECT_EQ(query_block(257), block_index_root);
  end_transaction(true);
  EXPECT_EQ(query_block(9000), block_index_leaf);
  // Not yet in the file: only the journal holds the changes.
  EXPECT_EQ(mdb_bytes(kTestBlock + 257, 1), std::vector<std::uint8_t>{0});

  reopen();  // the replay at open writes them into the file
  EXPECT_EQ(mdb_bytes(kTestBlock + 257, 1), std::vector<std::uint8_t>{4});
  EXPECT_EQ(mdb_bytes(kTestBlock + 9000, 1), std::vector<std::uint8_t>{6});
  EXPECT_EQ(diagnostics_of(kDiagInfo, [] { init_map(1, kMapBlocks); }),
            "Empty blocks: 2097149\nUsed blocks: 0\nFull blocks: 0\n"
            "Root index blocks: 1\nNon-root index blocks: 0\nLeaf blocks: 1\n"
            "Lob blocks: 1\n");
}

TEST_F(AllocationMapTest, RangeChecksAndUpdatesOutsideTransactions) {
  init_map(1, kMapBlocks);
  expect_error<error_range>([] { query_block(kCovered); },
                            "Block 2097152 for mark query is out of range");
  expect_error<error_range>([] { mark_block(kCovered, 1); },
                            "Block 2097152 for marking is out of range");
  // A change that cannot be logged is not made.
  expect_error<error_internal>([] { mark_block(300, block_used); },
                               "Update outside of transaction attempted");
  EXPECT_EQ(query_block(300), block_empty);
}

TEST_F(AllocationMapTest, InvalidStatesAndMissingHeaderFailInitialisation) {
  write_map_entries(300, 1, 3);
  expect_error<error_consistency>([] { init_map(1, kMapBlocks); },
                                  "Unknown alloc. bitmap (3) for block 300");
  write_map_entries(300, 1, 7);
  write_map_entries(kCovered - 2, 1, 8);
  reset_allocator();
  expect_error<error_consistency>(
      [] { init_map(1, kMapBlocks); },
      "Unknown alloc. bitmap (8) for block 2097150");

  shut_down();
  expect_error<error_internal>(
      [] { init_map(1, kMapBlocks); },
      "Allocation map initialization attempted before block size was found");
}

}  // namespace
}  // namespace mdb
