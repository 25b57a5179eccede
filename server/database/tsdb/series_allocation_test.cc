#include "server/database/tsdb/series_allocation.h"

#include <gtest/gtest.h>

#include "server/database/support/test_util.h"

#include "server/database/support/errors.h"
#include "server/database/support/metrics_table.h"
#include "server/database/tsdb/chains.h"
#include "server/database/tsdb/pointer_chain_growth.h"
#include "server/database/tsdb/tsdb_test_util.h"

namespace tsdb {
namespace {

using testing_util::expect_error;

// The administrator's series: datatype 4, one level of 102400 records.
const SeriesDescription kAdminSeries{4, {{102400, 1}}};

class SeriesAllocationTest : public tsdb_testing::CreatedTsdbTest {
 protected:
  // Allocates `series`; returns its check id and what was printed.
  std::pair<std::uint32_t, std::string> allocate(
      const SeriesDescription& series) {
    testing::internal::CaptureStderr();
    const std::uint32_t id = allocate_described_ts(tsdb_, series);
    return {id, testing::internal::GetCapturedStderr()};
  }
  PointerChain& current(const ChainKind& kind) {
    return tsdb_.current_replica(kind);
  }
  EntryValue disk_entry(const ChainKind& kind, std::uint32_t block_number,
                        std::uint32_t slot) const {
    return decode_entry(block(block_number).data() + entry_offset(kind, slot),
                        kind);
  }
};

// A one-block element of replica 0 that ends its replica, holding
// `entries` from slot 0 on.
std::vector<std::uint8_t> chain_block(const ChainKind& kind,
                                      std::uint32_t block_size,
                                      const std::vector<EntryValue>& entries) {
  std::vector<std::uint8_t> bytes(block_size, 0);
  encode_chain_block_header(bytes.data(), {kind.magic, 0, 0, 0});
  for (std::uint32_t e = 0; e < entries.size(); ++e) {
    encode_entry(bytes.data() + entry_offset(kind, e), kind, entries[e]);
  }
  return bytes;
}

TEST_F(SeriesAllocationTest, AdministratorSeriesOnANewTsdb) {
  create(3, 8192);  // replicas in blocks 1 to 12, block 13 the first free
  const std::uint64_t shifts = meter::phase_shifts.value;
  const auto [id, printed] = allocate(kAdminSeries);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(printed,
            "Phase shift from LBlock chain 0 to chain 1 complete!\n"
            "Phase shift from Head chain 0 to chain 1 complete!\n"
            "Phase shift from Tail chain 0 to chain 1 complete!\n"
            "Phase shift from Check chain 0 to chain 1 complete!\n");
  EXPECT_EQ(meter::phase_shifts.value, shifts + 1);
  // Lblock 0 keeps the first run; the level is allocated again.
  EXPECT_EQ(block(3), chain_block(kLblockChain, 8192,
                                  {{13, 13, 0, 1}, {26, 13, 0, 1}}));
  EXPECT_EQ(block(4), chain_block(kCheckChain, 8192, {{4, 1}}));
  EXPECT_EQ(block(1), chain_block(kHeadChain, 8192, {}));
  EXPECT_TRUE(tsdb_.allocator.in_use(38));
  EXPECT_FALSE(tsdb_.allocator.in_use(39));
  const std::vector<std::uint8_t> header = block(0);
  for (const ChainKind* kind : kChainKinds) {
    for (std::uint32_t i = 0; i < 3; ++i) {
      const std::uint8_t* d = header.data() + descriptor_offset(*kind, i, 3);
      EXPECT_EQ(decode_descriptor(d).timestamp, i == 0 ? 1u : 0u);
      EXPECT_TRUE(descriptor_crc_valid(d));
    }
  }
  EXPECT_EQ(tsdb_.current, (std::array<std::uint32_t, 4>{1, 1, 1, 1}));

  // A second series of two levels (datatype 2) goes to replica 1 of each
  // kind: the second level (2 blocks) first, then the first (3 blocks).
  tsdb_.diagnostics.set(0);
  EXPECT_EQ(allocate({2, {{1000, 0xA}, {500, 0xB}}}).first, 1u);
  EXPECT_EQ(disk_entry(kLblockChain, 7, 1), (EntryValue{26, 13, 0, 1}));
  EXPECT_EQ(disk_entry(kLblockChain, 7, 2), (EntryValue{39, 2, 0, 0xB}));
  EXPECT_EQ(disk_entry(kLblockChain, 7, 3), (EntryValue{41, 3, 2, 0xA}));
  EXPECT_EQ(disk_entry(kCheckChain, 8, 1), (EntryValue{2, 3}));
  EXPECT_EQ(select_replica(block(0), kCheckChain, 3), 1u);
}

TEST_F(SeriesAllocationTest, RefusedDescriptionsAllocateNothing) {
  create(2, 16384);  // 64 blocks: growth adds exactly what is asked for
  expect_error<error_internal>(
      [&] { allocate_described_ts(tsdb_, {0, {}}); },
      "allocate_described_ts() invoked with no levels");
  for (std::uint32_t datatype : {0u, 5u}) {
    expect_error<error_dbtype>(
        [&] { allocate_described_ts(tsdb_, {datatype, {{10, 1}}}); },
        "Datatype out of range");
  }
  EXPECT_FALSE(tsdb_.allocator.in_use(9));
  EXPECT_FALSE(chain_is_dirty(current(kLblockChain)));

  // A level without records wants 0 blocks, which no growth can supply.
  testing::internal::CaptureStderr();
  expect_error<error_dbnospace>(
      [&] { allocate_described_ts(tsdb_, {1, {{0, 1}}}); },
      "Unable to allocate 0 blocks in db file");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Growing TSDB with 0 blocks\n");
}

TEST_F(SeriesAllocationTest, LevelsGrowTheStore) {
  create(2, 16384);  // 64 blocks, replicas in blocks 1 to 8
  // 60 blocks of one-byte records, twice (lblock 0 is skipped).
  const auto [id, printed] = allocate({4, {{60 * 16384, 7}}});
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(printed.substr(0, printed.find("Phase")),
            "Growing TSDB with 60 blocks\n"
            "Growing TSDB with 60 blocks\n");
  EXPECT_EQ(testing_util::read_file(path()).size(), 184u * 16384);
  EXPECT_EQ(disk_entry(kLblockChain, 3, 0), (EntryValue{9, 60, 0, 7}));
  EXPECT_EQ(disk_entry(kLblockChain, 3, 1), (EntryValue{69, 60, 0, 7}));
}

TEST_F(SeriesAllocationTest, FullLblockAndCheckReplicasGrow) {
  create(2, 1024);  // 63 lblock and 126 check entries per block
  for (std::uint32_t e = 0; e < 63; ++e) {
    chain_set_entry(current(kLblockChain), e, {1000 + e, 1, 0, 0});
  }
  for (std::uint32_t e = 0; e < 126; ++e) {
    chain_set_entry(current(kCheckChain), e, {1, 1});
  }
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
  // Dblock 9 went to the level, block 10 to the lblock replica, block 11 to
  // the check replica; the committed replicas link to them on disk.
  EXPECT_EQ(decode_chain_block_header(block(3).data()).next_block, 10u);
  EXPECT_EQ(block(10), chain_block(kLblockChain, 1024, {{9, 1, 0, 5}}));
  EXPECT_EQ(decode_chain_block_header(block(4).data()).next_block, 11u);
  EXPECT_EQ(disk_entry(kCheckChain, 11, 0), (EntryValue{4, 63}));
  EXPECT_EQ(chain_entry(current(kCheckChain), 126), (EntryValue{4, 63}));
}

TEST_F(SeriesAllocationTest, HeadAndTailGrowWithTheLblocks) {
  create(2, 1024);  // 252 head and tail pointers per block
  tsdb_.diagnostics.set(0);
  chain_grow(tsdb_, current(kLblockChain), 4);
  for (std::uint32_t e = 0; e < 252; ++e) {
    chain_set_entry(current(kLblockChain), e, {1, 1, 0, 0});
  }
  EXPECT_EQ(allocate({4, {{1, 0}}}).first, 0u);
  for (const ChainKind* kind : {&kHeadChain, &kTailChain}) {
    EXPECT_EQ(chain_capacity(tsdb_.replicas_of(*kind)[0]), 504u);
  }
  EXPECT_EQ(chain_entry(tsdb_.replicas_of(kLblockChain)[0], 252)[1], 1u);
}

}  // namespace
}  // namespace tsdb
