#include "server/database/mdb/transaction.h"

#include <gtest/gtest.h>

#include "server/database/mdb/journal_entries.h"
#include "server/database/mdb/journal_layout.h"
#include "server/database/mdb/journal_test_fixture.h"
#include "server/database/support/errors.h"
#include "server/database/support/hash.h"
#include "server/database/support/metrics_table.h"

namespace mdb {
namespace {

using mdb_testing::expect_error;
using mdb_testing::pattern;

class TransactionTest : public mdb_testing::JournalFixture {};

TEST_F(TransactionTest, CommitsNestingAndEmptyTransactions) {
  create_mdb(1 << 16);
  open_mdb();
  EXPECT_EQ(cursor().write_position, 48u);
  const std::uint64_t commits = meter::journal_commits.value;

  begin_transaction();  // taken back: no updates
  end_transaction(true);
  EXPECT_EQ(cursor().write_position, 48u);
  EXPECT_EQ(meter::journal_commits.value, commits);

  const std::vector<std::uint8_t> data = pattern(5, 0x41);
  begin_transaction();
  begin_transaction();
  log_update(data.data(), 5, 100'000);
  end_transaction(true);  // nested: writes nothing
  EXPECT_EQ(cursor().write_position, 48u + 16 + 32);
  end_transaction(false);
  EXPECT_FALSE(in_transaction());
  EXPECT_EQ(cursor().write_position, 48u + 56);
  EXPECT_EQ(meter::journal_commits.value, commits + 1);
  const std::uint8_t* tbeg = database().journal.entry_at(48);
  EXPECT_EQ(tbeg_serial(tbeg), 1u);
  EXPECT_EQ(entry_magic(tbeg + 48), kTendMagic);
  // The checksum covers the begin entry and the update with its padding.
  EXPECT_EQ(tend_crc(tbeg + 48), security::crc32_of(tbeg, 48));
  EXPECT_EQ(state().applied_count, 1u);
  EXPECT_EQ(mdb_bytes(100'000, 5), data);  // synchronous: checkpointed

  expect_error<error_internal>([&] { log_update(data.data(), 1, 0); },
                               "Update outside of transaction attempted");
  expect_error<error_internal>([] { end_transaction(true); },
                               "End of non-existing transaction");
  begin_transaction();
  begin_transaction();
  EXPECT_DEATH(end_transaction(false),
               "Assertion failed: Syncronous nested transactions not supported");
}

// A 1000-byte journal: lower half entries 48..488, upper half 504..992.
TEST_F(TransactionTest, FullHalfFlipsToTheOtherHalf) {
  create_mdb(1000);
  open_mdb();
  const std::uint64_t flips = meter::journal_flips.value;
  begin_transaction();
  const std::vector<std::uint8_t> big = pattern(380, 3);
  log_update(big.data(), 380, 40'000);  // 24 bytes left
  const std::uint8_t five[5] = {1, 2, 3, 4, 5};
  expect_error<error_transact>([&] { log_update(five, 5, 0); },
                               "Transaction log full");
  EXPECT_EQ(cursor().write_position, 464u);
  log_update(five, 4, 50'000);  // exactly the 24 bytes left
  EXPECT_EQ(database().journal.free_space(), 0u);
  end_transaction(false);  // the TEND takes the half's reserved tail
  EXPECT_EQ(mdb_bytes(40'000, 380), big);

  diagnostic_mask().set(kDiagInfo);
  EXPECT_EQ(mdb_testing::stderr_of([] { begin_transaction(); }),
            "Checkpoint initiated because of semi-full log\n");
  EXPECT_EQ(meter::journal_flips.value, flips + 1);
  EXPECT_EQ(cursor().half, 1u);
  EXPECT_EQ(cursor().serial, 2u);
  EXPECT_EQ(cursor().write_position, 504u + 16);
  const std::uint8_t* pointer = database().journal.index_pointer(1);
  EXPECT_TRUE(pointer_valid(pointer));
  EXPECT_EQ(decode_index_pointer(pointer).start, 504u);
  EXPECT_EQ(state().applied_offset, 0u);
  log_update(five, 5, 60'000);
  end_transaction(false);
  EXPECT_EQ(mdb_bytes(60'000, 5), std::vector<std::uint8_t>(five, five + 5));

  const std::uint32_t position = cursor().write_position;
  flip(true);
  EXPECT_EQ(tred_target(database().journal.entry_at(position)), 48u);
  EXPECT_EQ(cursor().serial, 3u);
  EXPECT_EQ(state().committed_count, 0u);
}

TEST_F(TransactionTest, CheckpointRuleFlipsBelowAQuarterFree) {
  create_mdb(8 << 20);  // halves of 4,194,304 bytes
  open_mdb();
  // Leaves exactly 1,048,576 bytes free, a quarter of the half.
  const std::uint32_t n = 4'194'296 - 1'048'576 - 48 - 16 - 20 - 8;
  const std::vector<std::uint8_t> data(n, 0x5A);
  begin_transaction();
  log_update(data.data(), n, mdb_testing::kTestBlock);
  end_transaction(false);
  begin_transaction();
  EXPECT_EQ(cursor().half, 0u);
  log_update(nullptr, 0, 0);
  end_transaction(false);
  begin_transaction();
  EXPECT_EQ(cursor().half, 1u);
}

}  // namespace
}  // namespace mdb
