#include "server/database/tsdb/allocator.h"

#include <gtest/gtest.h>

#include <array>

#include "server/database/support/errors.h"
#include "server/database/support/test_util.h"
#include "server/database/tsdb/tsdb_test_util.h"

namespace tsdb {
namespace {

using testing_util::expect_error;

using Hints = std::array<std::uint32_t, kHintCount>;

TEST(AllocatorTest, ScanHandsOutInOrderAndRefreshesHints) {
  BlockAllocator allocator;
  EXPECT_EQ(allocator.bitmap_init(1280), 1280u);
  allocator.bitmap_mark(0, 1);
  EXPECT_EQ(allocator.alloc_blocks(0), 0u);
  // Single blocks come in order and leave no hint.
  EXPECT_EQ(allocator.alloc_blocks(1), 1u);
  EXPECT_EQ(allocator.alloc_blocks(1), 2u);
  EXPECT_EQ(allocator.hints(), Hints{});
  allocator.bitmap_mark(3, 10);
  EXPECT_EQ(allocator.alloc_blocks(13), 13u);
  EXPECT_EQ(allocator.hints(), (Hints{26, 26, 26, 0, 0, 0, 0, 0}));
  // No hint of class 3 or above: the scan starts again at block 1.
  EXPECT_EQ(allocator.alloc_blocks(13), 26u);
  EXPECT_EQ(allocator.hints(), (Hints{39, 39, 39, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(allocator.in_use(38));
  EXPECT_FALSE(allocator.in_use(39));
}

TEST(AllocatorTest, ValidHintWinsOverLowerFreeRun) {
  BlockAllocator allocator;
  allocator.bitmap_init(64);
  allocator.bitmap_mark(0, 1);
  allocator.bitmap_mark(3, 1);
  // Blocks 1-2 are too short for 4; the run at 4 is taken.
  EXPECT_EQ(allocator.alloc_blocks(4), 4u);
  EXPECT_EQ(allocator.hints(), (Hints{1, 8, 0, 0, 0, 0, 0, 0}));
  // The hint of class 1 hands out 8 although 1-2 is free and lower.
  EXPECT_EQ(allocator.alloc_blocks(2), 8u);
  EXPECT_EQ(allocator.alloc_blocks(1), 1u);
  EXPECT_EQ(allocator.hints(), (Hints{2, 10, 0, 0, 0, 0, 0, 0}));
  // A hint whose run is too short is cleared and the scan decides; runs of
  // one block refresh no hint of class 1.
  allocator.bitmap_mark(11, 1);
  EXPECT_EQ(allocator.alloc_blocks(2), 12u);
  EXPECT_EQ(allocator.hints(), (Hints{2, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(AllocatorTest, ExhaustionReturnsZeroAndChangesNothing) {
  BlockAllocator allocator;
  EXPECT_EQ(allocator.bitmap_init(40), 64u);
  allocator.bitmap_mark(0, 1);
  EXPECT_EQ(allocator.alloc_blocks(36), 1u);
  // Three blocks are left below the covered count of 40; the bits of the
  // last word above it are never handed out.
  EXPECT_EQ(allocator.alloc_blocks(4), 0u);
  for (std::uint32_t b = 37; b < 64; ++b) EXPECT_FALSE(allocator.in_use(b));
  EXPECT_EQ(allocator.alloc_blocks(3), 37u);
  EXPECT_EQ(allocator.alloc_blocks(1), 0u);

  BlockAllocator empty;
  empty.bitmap_init(1);
  EXPECT_EQ(empty.alloc_blocks(1), 0u);
}

TEST(AllocatorTest, DoubleMarkingIsRefusedWithoutChange) {
  BlockAllocator allocator;
  allocator.bitmap_init(64);
  allocator.bitmap_mark(5, 3);
  expect_error<error_dcalloc>([&] { allocator.bitmap_mark(4, 3); },
                              "Block 4 doubly allocated");
  EXPECT_FALSE(allocator.in_use(4));
  EXPECT_THROW(allocator.bitmap_mark(60, 5), error_internal);
  EXPECT_FALSE(allocator.in_use(60));
}

TEST(AllocatorTest, ResizeRefusesToDropBlocksInUse) {
  BlockAllocator allocator;
  allocator.bitmap_init(128);
  allocator.bitmap_mark(70, 1);
  EXPECT_THROW(allocator.bitmap_resize(64), error_unref_used);
  EXPECT_EQ(allocator.covered(), 128u);
  EXPECT_EQ(allocator.bitmap_resize(90), 96u);
  EXPECT_EQ(allocator.bitmap_resize(200), 224u);
  EXPECT_TRUE(allocator.in_use(70));
  EXPECT_FALSE(allocator.in_use(199));
}

TEST(GrowTest, GrowsByAtLeastTenPercentOrExactlyTheRequestWhenSmall) {
  testing_util::TempDir dir;
  TsdbState large, small;
  auto open = [&](TsdbState& tsdb, const char* name, std::uint32_t blocks) {
    tsdb_testing::open_empty_store(tsdb, dir.file(name), 1024);
    tsdb.store.btb_Grow(blocks);
    tsdb.allocator.bitmap_init(blocks);
  };
  auto grow = [](TsdbState& tsdb, std::uint32_t blocks) {
    return testing_util::stderr_of([&] {
      grow_tsdb(tsdb.store, tsdb.allocator, tsdb.diagnostics, blocks);
    });
  };
  open(large, "large.tsdb", 1280);
  EXPECT_EQ(grow(large, 13), "Growing TSDB with 120 blocks\n");
  EXPECT_EQ(large.store.btb_BlockCount(), 1400u);
  EXPECT_EQ(large.allocator.covered(), 1400u);
  EXPECT_EQ(testing_util::read_file(dir.file("large.tsdb")).size(),
            1400u * 1024);
  // A request above the minimum is granted as asked.
  EXPECT_EQ(grow(large, 300), "Growing TSDB with 300 blocks\n");
  EXPECT_EQ(large.allocator.covered(), 1700u);

  open(small, "small.tsdb", 99);
  EXPECT_EQ(grow(small, 7), "Growing TSDB with 7 blocks\n");
  EXPECT_EQ(small.store.btb_BlockCount(), 106u);
  EXPECT_EQ(small.allocator.alloc_blocks(106), 0u);
  EXPECT_EQ(small.allocator.alloc_blocks(105), 1u);
}

}  // namespace
}  // namespace tsdb
