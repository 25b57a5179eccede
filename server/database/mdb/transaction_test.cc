#include "server/database/mdb/transaction.h"

#include <gtest/gtest.h>

#include "server/database/mdb/journal_test_fixture.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/clock.h"
#include "server/database/support/errors.h"
#include "server/database/support/hash.h"
#include "server/database/support/metrics_table.h"

namespace mdb {
namespace {

using mdb_testing::expect_error;
using mdb_testing::pattern;
using mdb_testing::stderr_of;

class TransactionTest : public mdb_testing::JournalFixture {
 protected:
  // Keeps asynchronous commits from syncing and checkpointing.
  void hold_checkpoints() {
    state().last_sync_second = support::now().seconds + 1000;
  }
  IndexPointer pointer(std::uint32_t i) {
    return decode_index_pointer(database().journal.index_pointer(i));
  }
};

TEST_F(TransactionTest, CommitWritesEntriesAndReachesTheFile) {
  create_and_open(1 << 16);
  EXPECT_EQ(cursor().write_position, 48u);
  const std::uint64_t bytes = meter::journal_bytes.value;
  const std::uint64_t commits = meter::journal_commits.value;
  const std::vector<std::uint8_t> data = pattern(4, 0x41);

  begin_transaction();
  EXPECT_TRUE(in_transaction());
  log_update(data.data(), 4, 100'000);
  end_transaction(false);

  EXPECT_FALSE(in_transaction());
  EXPECT_EQ(cursor().write_position, 48u + 48u);
  EXPECT_EQ(meter::journal_bytes.value, bytes + 48);
  EXPECT_EQ(meter::journal_commits.value, commits + 1);
  EXPECT_EQ(state().committed_count, 1u);
  EXPECT_EQ(state().applied_count, 1u);
  EXPECT_EQ(state().applied_offset, 48u);
  EXPECT_EQ(state().cache_count, 1u);

  // The TEND carries the CRC of the TBEG and the TUPD as they stand.
  const std::uint8_t* tbeg = database().journal.entry_at(48);
  EXPECT_EQ(entry_magic(tbeg), kTbegMagic);
  EXPECT_EQ(tbeg_serial(tbeg), 1u);
  EXPECT_EQ(entry_magic(tbeg + 16), kTupdMagic);
  EXPECT_EQ(entry_magic(tbeg + 40), kTendMagic);
  EXPECT_EQ(tend_crc(tbeg + 40), security::crc32_of(tbeg, 40));

  // The synchronous end synced the journal and checkpointed the file.
  EXPECT_EQ(mdb_bytes(100'000, 4), data);
}

TEST_F(TransactionTest, EmptyAndNestedTransactions) {
  create_and_open(1 << 16);
  const std::uint64_t commits = meter::journal_commits.value;
  const std::uint64_t bytes = meter::journal_bytes.value;

  // An outermost transaction without updates leaves no trace but its
  // TBEG's count in "bytes" (the TBEG was written, then taken back).
  begin_transaction();
  end_transaction(true);
  EXPECT_EQ(cursor().write_position, 48u);
  EXPECT_EQ(meter::journal_commits.value, commits);
  EXPECT_EQ(meter::journal_bytes.value, bytes + 16);

  // Nested: one TBEG and one TEND; the inner end writes nothing.
  const std::vector<std::uint8_t> data = pattern(12, 7);
  begin_transaction();
  begin_transaction();
  EXPECT_EQ(cursor().write_position, 64u);
  log_update(data.data(), 12, 9000);
  end_transaction(true);
  EXPECT_TRUE(in_transaction());
  EXPECT_EQ(cursor().write_position, 64u + 32u);
  end_transaction(false);
  EXPECT_FALSE(in_transaction());
  EXPECT_EQ(cursor().write_position, 48u + 16 + 32 + 8);
  EXPECT_EQ(meter::journal_commits.value, commits + 1);
  EXPECT_EQ(mdb_bytes(9000, 12), data);

  expect_error<error_internal>([&] { log_update(data.data(), 1, 0); },
                               "Update outside of transaction attempted");
  expect_error<error_internal>([] { end_transaction(true); },
                               "End of non-existing transaction");
}

TEST_F(TransactionTest, SynchronousNestedEndAborts) {
  create_and_open(1 << 16);
  begin_transaction();
  begin_transaction();
  EXPECT_DEATH(end_transaction(false),
               "Assertion failed: Syncronous nested transactions not supported");
}

TEST_F(TransactionTest, AsynchronousCommitWaitsForTheNextSync) {
  create_and_open(1 << 16);
  hold_checkpoints();
  const std::vector<std::uint8_t> first = pattern(8, 1);
  begin_transaction();
  log_update(first.data(), 8, 20'000);
  end_transaction(true);
  EXPECT_EQ(state().applied_count, 0u);
  EXPECT_EQ(state().cache_count, 1u);
  EXPECT_EQ(mdb_bytes(20'000, 8), std::vector<std::uint8_t>(8, 0));

  // A synchronous commit applies everything committed before it too.
  const std::vector<std::uint8_t> second = pattern(8, 50);
  begin_transaction();
  log_update(second.data(), 8, 30'000);
  end_transaction(false);
  EXPECT_EQ(state().applied_count, 2u);
  EXPECT_EQ(mdb_bytes(20'000, 8), first);
  EXPECT_EQ(mdb_bytes(30'000, 8), second);
}

// A 1000-byte journal: the lower half's entries run from 48 to 488, the
// upper half's from 504 to 992.
TEST_F(TransactionTest, FullHalfFlipsToTheOtherHalf) {
  create_and_open(1000);
  const std::uint64_t flips = meter::journal_flips.value;
  begin_transaction();  // write position 64, 424 bytes free
  const std::vector<std::uint8_t> big = pattern(380, 3);
  log_update(big.data(), 380, 40'000);  // 400 bytes, 24 left
  const std::uint8_t five[5] = {1, 2, 3, 4, 5};
  expect_error<error_transact>([&] { log_update(five, 5, 0); },
                               "Transaction log full");
  EXPECT_EQ(cursor().write_position, 464u);
  EXPECT_TRUE(in_transaction());
  log_update(five, 4, 50'000);  // exactly the 24 bytes left
  EXPECT_EQ(database().journal.free_space(), 0u);
  end_transaction(false);  // the TEND goes into the half's reserved tail
  EXPECT_EQ(cursor().write_position, 496u);
  EXPECT_EQ(mdb_bytes(40'000, 380), big);

  std::string err;
  diagnostic_mask().set(kDiagInfo);
  err = stderr_of([] { begin_transaction(); });
  EXPECT_EQ(err, "Checkpoint initiated because of semi-full log\n");
  EXPECT_EQ(meter::journal_flips.value, flips + 1);
  EXPECT_EQ(cursor().half, 1u);
  EXPECT_EQ(cursor().serial, 2u);
  EXPECT_EQ(cursor().write_position, 504u + 16u);
  EXPECT_TRUE(pointer_valid(database().journal.index_pointer(1)));
  EXPECT_EQ(pointer(1).serial, 2u);
  EXPECT_EQ(pointer(1).start, 504u);
  EXPECT_EQ(state().committed_count, 0u);
  EXPECT_EQ(state().applied_count, 0u);
  EXPECT_EQ(state().applied_offset, 0u);

  log_update(five, 5, 60'000);
  end_transaction(false);
  EXPECT_EQ(mdb_bytes(60'000, 5), std::vector<std::uint8_t>(five, five + 5));
  EXPECT_EQ(state().applied_offset, 16u + 32u + 8u);
}

TEST_F(TransactionTest, CheckpointRuleFlipsBelowAQuarterFree) {
  create_and_open(8 << 20);  // halves of 4,194,304 bytes
  // One transaction that leaves exactly 1,048,576 bytes free.
  const std::uint32_t n = 4'194'296 - 1'048'576 - 48 - 16 - 8 - 20;
  const std::vector<std::uint8_t> data(n, 0x5A);
  begin_transaction();
  log_update(data.data(), n, mdb_testing::kTestBlock);
  end_transaction(false);
  EXPECT_EQ(database().journal.free_space(), 1'048'576u);

  begin_transaction();  // a quarter is still free: no flip
  EXPECT_EQ(cursor().half, 0u);
  log_update(nullptr, 0, 0);
  end_transaction(false);
  EXPECT_EQ(database().journal.free_space(), 1'048'576u - 48);

  begin_transaction();
  EXPECT_EQ(cursor().half, 1u);
  EXPECT_EQ(cursor().write_position, 4'194'304u + 16);
  end_transaction(true);
}

TEST_F(TransactionTest, FlipWithRedirectionLeavesATred) {
  create_and_open(1000);
  const std::vector<std::uint8_t> data = pattern(16, 9);
  begin_transaction();
  log_update(data.data(), 16, 70'000);
  end_transaction(false);
  const std::uint32_t position = cursor().write_position;
  flip(true);
  const std::uint8_t* tred = database().journal.entry_at(position);
  EXPECT_EQ(entry_magic(tred), kTredMagic);
  EXPECT_EQ(tred_target(tred), 504u);
  EXPECT_EQ(cursor().half, 1u);
  EXPECT_EQ(cursor().serial, 2u);
  EXPECT_EQ(state().committed_count, 0u);
  EXPECT_EQ(state().cache_count, 0u);
}

}  // namespace
}  // namespace mdb
