#include "server/database/tsdb/phase_shift.h"

#include <gtest/gtest.h>

#include "server/database/support/test_util.h"

#include "server/database/support/metrics_table.h"
#include "server/database/tsdb/chains.h"
#include "server/database/tsdb/tsdb_test_util.h"

namespace tsdb {
namespace {

class PhaseShiftTest : public tsdb_testing::CreatedTsdbTest {
 protected:
  std::string shift() {
    return testing_util::stderr_of([&] { phase_shift(tsdb_); });
  }
};

TEST_F(PhaseShiftTest, NothingDirtyNothingDone) {
  create(3, 1024);
  const std::vector<std::uint8_t> before = testing_util::read_file(path());
  const std::uint64_t shifts = meter::phase_shifts.value;
  const std::uint64_t timings = meter::phase_shift_time.count;
  EXPECT_EQ(shift(), "Phase shift of all chains avoided\n");
  EXPECT_EQ(testing_util::read_file(path()), before);
  EXPECT_EQ(meter::phase_shifts.value, shifts);
  EXPECT_EQ(meter::phase_shift_time.count, timings);
}

// Only the check kind changes: it alternates between its two replicas, each
// commit stamped one above the last, the other kinds untouched.
TEST_F(PhaseShiftTest, CommitsReplicaByReplicaWithRisingTimestamps) {
  create(2, 1024);  // check replicas 0 and 1 in blocks 4 and 8
  const std::uint64_t shifts = meter::phase_shifts.value;
  const std::uint64_t timings = meter::phase_shift_time.count;
  for (std::uint32_t round = 0; round < 3; ++round) {
    const std::uint32_t committed = round % 2;
    chain_set_entry(tsdb_.current_replica(kCheckChain), round, {round + 1, 9});
    EXPECT_EQ(shift(), "Phase shift from Check chain " +
                           std::to_string(committed) + " to chain " +
                           std::to_string(1 - committed) + " complete!\n");

    // The committed replica holds every entry so far, copies included.
    const std::vector<std::uint8_t> written = block(committed == 0 ? 4 : 8);
    for (std::uint32_t e = 0; e <= round; ++e) {
      EXPECT_EQ(decode_entry(written.data() + entry_offset(kCheckChain, e),
                             kCheckChain),
                (EntryValue{e + 1, 9}));
    }
    const std::vector<std::uint8_t> header = block(0);
    const std::uint8_t* descriptor =
        header.data() + descriptor_offset(kCheckChain, committed, 2);
    EXPECT_EQ(decode_descriptor(descriptor).timestamp, round + 1);
    EXPECT_TRUE(descriptor_crc_valid(descriptor));
    EXPECT_EQ(select_replica(header, kCheckChain, 2), committed);
    EXPECT_EQ(tsdb_.current, (std::array<std::uint32_t, 4>{
                                 0, 0, 0, 1 - committed}));
    EXPECT_FALSE(chain_is_dirty(tsdb_.current_replica(kCheckChain)));
  }
  EXPECT_EQ(decode_descriptor(block(0).data() +
                              descriptor_offset(kLblockChain, 0, 2))
                .timestamp,
            0u);
  EXPECT_EQ(meter::phase_shifts.value, shifts + 3);
  EXPECT_EQ(meter::phase_shift_time.count, timings + 3);
}

}  // namespace
}  // namespace tsdb
