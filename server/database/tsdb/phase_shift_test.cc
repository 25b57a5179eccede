#include "server/database/tsdb/phase_shift.h"

#include <gtest/gtest.h>

#include "server/database/support/metrics_table.h"
#include "server/database/support/test_util.h"
#include "server/database/tsdb/chains.h"
#include "server/database/tsdb/tsdb_state.h"
#include "server/database/tsdb/tsdb_test_util.h"

namespace tsdb {
namespace {

class PhaseShiftTest : public tsdb_testing::CreatedTsdbTest {
 protected:
  void create(std::uint32_t chains) {
    chains_ = chains;
    CreatedTsdbTest::create(chains, 1024);
  }
  // The descriptor of (kind, replica) as block 0 holds it on disk.
  ChainDescriptor on_disk(const ChainKind& kind, std::uint32_t replica) const {
    return decode_descriptor(block(0).data() +
                             descriptor_offset(kind, replica, chains_));
  }
  // Runs a phase shift and returns what it printed.
  std::string shift() {
    testing::internal::CaptureStderr();
    phase_shift(tsdb_);
    return testing::internal::GetCapturedStderr();
  }

  std::uint32_t chains_ = 0;
};

TEST_F(PhaseShiftTest, NothingDirtyNothingDone) {
  create(3);
  const std::vector<std::uint8_t> before = testing_util::read_file(path());
  const std::uint64_t shifts = meter::phase_shifts.value;
  const std::uint64_t timings = meter::phase_shift_time.count;
  EXPECT_EQ(shift(), "Phase shift of all chains avoided\n");
  EXPECT_EQ(testing_util::read_file(path()), before);
  EXPECT_EQ(meter::phase_shifts.value, shifts);
  EXPECT_EQ(meter::phase_shift_time.count, timings);
  EXPECT_EQ(tsdb_.current, (std::array<std::uint32_t, 4>{0, 0, 0, 0}));
}

TEST_F(PhaseShiftTest, CommitsReplicaByReplicaWithRisingTimestamps) {
  create(2);  // check replicas 0 and 1 in blocks 4 and 8
  const std::uint64_t shifts = meter::phase_shifts.value;
  const std::uint64_t timings = meter::phase_shift_time.count;
  const std::array<std::uint32_t, 2> check_blocks{4, 8};

  for (std::uint32_t round = 0; round < 3; ++round) {
    const std::uint32_t committed = round % 2;
    const std::uint32_t next = 1 - committed;
    ASSERT_EQ(tsdb_.current[kCheckChain.number], committed);
    chain_set_entry(tsdb_.current_replica(kCheckChain), round,
                    {round + 1, 40 + round});
    EXPECT_EQ(shift(), "Phase shift from Check chain " +
                           std::to_string(committed) + " to chain " +
                           std::to_string(next) + " complete!\n");

    // The committed replica holds every entry so far, copies included.
    const std::vector<std::uint8_t> written = block(check_blocks[committed]);
    for (std::uint32_t e = 0; e <= round; ++e) {
      EXPECT_EQ(decode_entry(written.data() + entry_offset(kCheckChain, e),
                             kCheckChain),
                (EntryValue{e + 1, 40 + e}));
    }
    const ChainDescriptor descriptor = on_disk(kCheckChain, committed);
    EXPECT_EQ(descriptor.timestamp, round + 1);
    EXPECT_EQ(descriptor.first_block, check_blocks[committed]);
    const std::vector<std::uint8_t> header = block(0);
    EXPECT_TRUE(descriptor_crc_valid(
        header.data() + descriptor_offset(kCheckChain, committed, 2)));
    EXPECT_EQ(select_replica(header, kCheckChain, 2), committed);
    // The other kinds did not change and were neither committed nor moved.
    EXPECT_EQ(select_replica(header, kLblockChain, 2), 0u);
    EXPECT_EQ(on_disk(kLblockChain, 0).timestamp, 0u);
    EXPECT_EQ(tsdb_.current[kLblockChain.number], 0u);
    EXPECT_EQ(tsdb_.current[kCheckChain.number], next);
    // The new current replica carries the copy, in memory only.
    EXPECT_EQ(chain_entry(tsdb_.current_replica(kCheckChain), round),
              (EntryValue{round + 1, 40 + round}));
    EXPECT_FALSE(chain_is_dirty(tsdb_.current_replica(kCheckChain)));
  }
  EXPECT_EQ(meter::phase_shifts.value, shifts + 3);
  EXPECT_EQ(meter::phase_shift_time.count, timings + 3);
}

TEST_F(PhaseShiftTest, AllKindsCommitInOrderAndRotate) {
  create(3);
  for (const ChainKind* kind : kChainKinds) {
    chain_set_entry(tsdb_.current_replica(*kind), 0, {1, 2, 3, 4});
  }
  EXPECT_EQ(shift(),
            "Phase shift from LBlock chain 0 to chain 1 complete!\n"
            "Phase shift from Head chain 0 to chain 1 complete!\n"
            "Phase shift from Tail chain 0 to chain 1 complete!\n"
            "Phase shift from Check chain 0 to chain 1 complete!\n");
  const std::vector<std::uint8_t> header = block(0);
  for (const ChainKind* kind : kChainKinds) {
    EXPECT_EQ(tsdb_.current[kind->number], 1u);
    EXPECT_EQ(on_disk(*kind, 0).timestamp, 1u);
    EXPECT_EQ(select_replica(header, *kind, 3), 0u);
    for (std::uint32_t i = 1; i < 3; ++i) {
      EXPECT_EQ(on_disk(*kind, i).timestamp, 0u);
      EXPECT_TRUE(descriptor_crc_valid(header.data() +
                                       descriptor_offset(*kind, i, 3)));
    }
  }
  // In the image the new current replicas carry the copied timestamp.
  EXPECT_EQ(decode_descriptor(tsdb_.header_image.data() +
                              descriptor_offset(kHeadChain, 1, 3))
                .timestamp,
            1u);
}

}  // namespace
}  // namespace tsdb
