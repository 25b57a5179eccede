// The TSDB block allocator and its growth, the creation of a TSDB, and the
// allocation of series on it, on real files.
#include "server/database/tsdb/series_allocation.h"

#include <gtest/gtest.h>

#include <array>

#include "server/database/support/errors.h"
#include "server/database/support/metrics_table.h"
#include "server/database/tsdb/chains.h"
#include "server/database/tsdb/phase_shift.h"
#include "server/database/tsdb/pointer_chain_growth.h"
#include "server/database/tsdb/tsdb_test_util.h"

namespace tsdb {
namespace {

using testing_util::expect_error;
using testing_util::stderr_of;
using Hints = std::array<std::uint32_t, kHintCount>;

TEST(AllocatorTest, FirstFitHintsAndExhaustion) {
  BlockAllocator allocator;
  EXPECT_EQ(allocator.bitmap_init(64), 64u);
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
  expect_error<error_dcalloc>([&] { allocator.bitmap_mark(13, 3); }, "Block 13 doubly allocated");
  EXPECT_FALSE(allocator.in_use(14));
  EXPECT_THROW(allocator.bitmap_mark(60, 5), error_internal);

  // The bits of the last word above the covered count are never handed out.
  EXPECT_EQ(allocator.bitmap_init(40), 64u);
  allocator.bitmap_mark(0, 1);
  EXPECT_EQ(allocator.alloc_blocks(36), 1u);
  EXPECT_EQ(allocator.alloc_blocks(4), 0u);
  EXPECT_EQ(allocator.alloc_blocks(3), 37u);
  EXPECT_EQ(allocator.alloc_blocks(1), 0u);
  // Resizing refuses to drop blocks in use.
  EXPECT_THROW(allocator.bitmap_resize(32), error_unref_used);
  EXPECT_EQ(allocator.bitmap_resize(90), 96u);
  EXPECT_TRUE(allocator.in_use(39));
  EXPECT_FALSE(allocator.in_use(89));
}

TEST(AllocatorTest, GrowthAddsATenthOrExactlyWhatIsAskedWhenSmall) {
  testing_util::TempDir dir;
  for (const auto& [blocks, n, grown] :
       {std::array<std::uint32_t, 3>{1280, 13, 120}, {1280, 300, 300}, {99, 7, 7}}) {
    TsdbState tsdb;
    tsdb_testing::open_empty_store(tsdb.store, dir.file("t.tsdb"), 1024);
    tsdb.store.btb_Grow(blocks);
    tsdb.allocator.bitmap_init(blocks);
    EXPECT_EQ(stderr_of([&] { grow_tsdb(tsdb.store, tsdb.allocator, tsdb.diagnostics, n); }),
              "Growing TSDB with " + std::to_string(grown) + " blocks\n");
    EXPECT_EQ(tsdb.store.btb_BlockCount(), blocks + grown);
    EXPECT_EQ(tsdb.allocator.covered(), blocks + grown);
    EXPECT_EQ(testing_util::read_file(dir.file("t.tsdb")).size(), (blocks + grown) * 1024u);
  }
}

TEST(CreationTest, ReplicasAreSizedForTheExpectedChecks) {
  testing_util::TempDir dir;
  TsdbState tsdb;
  tsdb_testing::create_quietly(tsdb, dir.file("main.tsdb"), 3, 8192, 10);
  expect_error<error_internal>([&] { tsdb_create_header(tsdb, 8192, 3); },
                               "Header loaded, then re-created");

  // The chain sizes of K = 1000 with B = 1024, on a small store.
  TsdbState small;
  tsdb_testing::open_empty_store(small.store, dir.file("sizes.tsdb"), 1024);
  small.allocator.bitmap_init(40);
  small.diagnostics.set(0x0F);
  tsdb_create_header(small, 1024, 2);
  EXPECT_EQ(stderr_of([&] {
              for (const ChainKind* kind : kChainKinds) {
                chain_create(small, *kind, 0, 1000);
              }
            }),
            "Allocated 4 for PointerChain at dblock 1\n"
            "Will write 4 of HT data to block 1\n"
            "Allocated 4 for PointerChain at dblock 5\n"
            "Will write 4 of HT data to block 5\n"
            "Allocated 16 for PointerChain at dblock 9\n"
            "Allocated 8 for PointerChain at dblock 25\n");
  // Seven blocks are left: the next lblock replica finds no run of 16.
  expect_error<error_dbnospace>([&] { chain_create(small, kLblockChain, 1, 1000); },
                                "No space available for pointer chain allocation");
}

TEST(CreationTest, SettingsTheFormatCannotHoldAreRefusedBeforeAnyOutput) {
  testing_util::TempDir dir;
  const std::string path = dir.file("main.tsdb");
  testing_util::write_file(path, {});
  struct Case {
    std::uint32_t chains, block_size, checks;
    const char* text;
  };
  for (const Case c : {
           Case{3, 8192, 0, "Cannot create a TSDB for 0 expected checks"},
           Case{3, 1024, 4194304,
                "Cannot create a TSDB for 4194304 expected checks: more than "
                "2^32 blocks of 1024 bytes"},
           Case{3, 1000, 10, "Unsupported TSDB block size 1000"},
           Case{6, 8192, 10, "Unsupported number of TSDB chains 6"},
       }) {
    TsdbState tsdb;
    EXPECT_EQ(stderr_of([&] {
                expect_error<error_internal>(
                    [&] { tsdb_create(tsdb, path, c.chains, c.block_size, c.checks); }, c.text);
              }),
              "");
    EXPECT_FALSE(tsdb.store.is_open());
  }
  EXPECT_EQ(testing_util::read_file(path).size(), 0u);
  // A bare file name stops the creation right after its first progress text.
  reset_tsdb_instance();
  EXPECT_EQ(stderr_of([] { EXPECT_THROW(tsdb_create("main.tsdb", 2, 8192, 1), error_io); }),
            "Initializing I/O layer...");
  reset_tsdb_instance();
}

class SeriesAllocationTest : public tsdb_testing::CreatedTsdbTest {
 protected:
  // Allocates `series`; returns its check id and what was printed.
  std::pair<std::uint32_t, std::string> allocate(const SeriesDescription& series) {
    std::uint32_t id = 0;
    const std::string printed = stderr_of([&] { id = allocate_described_ts(tsdb_, series); });
    return {id, printed};
  }
  PointerChain& current(const ChainKind& kind) { return tsdb_.current_replica(kind); }
  EntryValue disk_entry(const ChainKind& kind, std::uint32_t n, std::uint32_t slot) {
    return decode_entry(block(n).data() + entry_offset(kind, slot), kind);
  }
};

TEST_F(SeriesAllocationTest, AdministratorSeriesOnANewTsdb) {
  create(3, 8192);  // replicas in blocks 1 to 12, block 13 the first free
  const std::uint64_t shifts = meter::phase_shifts.value;
  // The administrator's series: datatype 4, one level of 102400 records.
  const auto [id, printed] = allocate({4, {{102400, 1}}});
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(printed,
            "Phase shift from LBlock chain 0 to chain 1 complete!\n"
            "Phase shift from Head chain 0 to chain 1 complete!\n"
            "Phase shift from Tail chain 0 to chain 1 complete!\n"
            "Phase shift from Check chain 0 to chain 1 complete!\n");
  EXPECT_EQ(meter::phase_shifts.value, shifts + 1);
  // Lblock 0 keeps the first run; the level is allocated again.
  EXPECT_EQ(disk_entry(kLblockChain, 3, 0), (EntryValue{13, 13, 0, 1}));
  EXPECT_EQ(disk_entry(kLblockChain, 3, 1), (EntryValue{26, 13, 0, 1}));
  EXPECT_TRUE(disk_entry(kLblockChain, 3, 2) == (EntryValue{}));
  EXPECT_EQ(disk_entry(kCheckChain, 4, 0), (EntryValue{4, 1}));
  EXPECT_TRUE(tsdb_.allocator.in_use(38));
  EXPECT_FALSE(tsdb_.allocator.in_use(39));
  EXPECT_EQ(tsdb_.current, (std::array<std::uint32_t, 4>{1, 1, 1, 1}));
  // Nothing is dirty after a commit: a phase shift then writes and counts nothing.
  const std::vector<std::uint8_t> committed = testing_util::read_file(path());
  EXPECT_EQ(stderr_of([&] { phase_shift(tsdb_); }), "Phase shift of all chains avoided\n");
  EXPECT_EQ(testing_util::read_file(path()), committed);
  EXPECT_EQ(meter::phase_shifts.value, shifts + 1);

  // A second series of two levels (datatype 2) goes to replica 1 of each
  // kind: the second level (2 blocks) first, then the first (3 blocks).
  tsdb_.diagnostics.set(0);
  EXPECT_EQ(allocate({2, {{1000, 0xA}, {500, 0xB}}}).first, 1u);
  EXPECT_EQ(disk_entry(kLblockChain, 7, 2), (EntryValue{39, 2, 0, 0xB}));
  EXPECT_EQ(disk_entry(kLblockChain, 7, 3), (EntryValue{41, 3, 2, 0xA}));
  EXPECT_EQ(disk_entry(kCheckChain, 8, 1), (EntryValue{2, 3}));
  EXPECT_EQ(select_replica(block(0), kCheckChain, 3), 1u);
}

TEST_F(SeriesAllocationTest, RefusedDescriptions) {
  create(2, 16384);  // 64 blocks: growth adds exactly what is asked for
  expect_error<error_internal>(
      [&] {
        allocate_described_ts(tsdb_, {0, {}});
      },
      "allocate_described_ts() invoked with no levels");
  for (std::uint32_t datatype : {0u, 5u}) {
    expect_error<error_dbtype>(
        [&] {
          allocate_described_ts(tsdb_, {datatype, {{10, 1}}});
        },
        "Datatype out of range");
  }
  EXPECT_FALSE(tsdb_.allocator.in_use(9));
  // A level without records wants 0 blocks, which no growth can supply.
  EXPECT_EQ(stderr_of([&] {
              expect_error<error_dbnospace>(
                  [&] {
                    allocate_described_ts(tsdb_, {1, {{0, 1}}});
                  },
                  "Unable to allocate 0 blocks in db file");
            }),
            "Growing TSDB with 0 blocks\n");
}

TEST_F(SeriesAllocationTest, FullReplicasGrow) {
  create(2, 1024);  // 63 lblock, 126 check and 252 head entries per block
  for (std::uint32_t e = 0; e < 63; ++e) {
    chain_set_entry(current(kLblockChain), e, {1000 + e, 1, 0, 0});
  }
  for (std::uint32_t e = 0; e < 126; ++e) chain_set_entry(current(kCheckChain), e, {1, 1});
  const auto [id, printed] = allocate({4, {{1, 5}}});
  EXPECT_EQ(id, 126u);
  const std::string copy_growth =
      "Allocating extra blocks needed to copy chain 0 into chain 1\n"
      "Chain 1 in chain-block 0 was grown with 1 blocks to 2 chain elements ";
  EXPECT_EQ(printed,
            "Chain 0 in chain-block 0 was grown with 1 blocks to 2 chain "
            "elements (126 pointers)\n"
            "No free check IDs in check chain - will attempt to grow check "
            "chain\n"
            "Chain 0 in chain-block 0 was grown with 1 blocks to 2 chain "
            "elements (252 pointers)\n" +
                copy_growth + "(126 pointers)\n" +
                "Phase shift from LBlock chain 0 to chain 1 complete!\n"
                "Phase shift from Head chain 0 to chain 1 complete!\n"
                "Phase shift from Tail chain 0 to chain 1 complete!\n" +
                copy_growth + "(252 pointers)\n" +
                "Phase shift from Check chain 0 to chain 1 complete!\n");
}

}  // namespace
}  // namespace tsdb
