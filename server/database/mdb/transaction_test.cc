// Transactions on a real journal: entries and nesting, a full half and the
// flip, the checkpoint rule; and the replay at open of journals that a
// crash or damage left behind (the power-loss test replays sound ones).
#include "server/database/mdb/transaction.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "server/database/mdb/journal_format.h"
#include "server/database/mdb/mdb_test_fixture.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/support/hash.h"
#include "server/database/support/metrics_table.h"

namespace mdb {
namespace {

using namespace mdb_testing;

using TransactionTest = MdbFixture;

TEST_F(TransactionTest, CommitsNestingAndEmptyTransactions) {
  create_mdb(tool_layout(1 << 16));
  open_mdb();
  const std::uint64_t commits = meter::journal_commits.value;
  begin_transaction();  // taken back: no updates
  end_transaction(true);

  const std::vector<std::uint8_t> data = pattern(5, 0x41);
  begin_transaction();
  begin_transaction();
  log_update(data.data(), 5, 100'000);
  end_transaction(true);  // nested: writes nothing
  EXPECT_EQ(journal_position(), 48u + 16 + 32);
  end_transaction(false);
  EXPECT_EQ(journal_position(), 48u + 56);
  EXPECT_EQ(meter::journal_commits.value, commits + 1);
  const std::uint8_t* tbeg = database().journal.entry_at(48);
  EXPECT_EQ(tbeg_serial(tbeg), 1u);
  // The checksum covers the begin entry and the update with its padding.
  EXPECT_EQ(tend_crc(tbeg + 48), security::crc32_of(tbeg, 48));
  EXPECT_EQ(mdb_bytes(100'000, 5), data);  // synchronous: checkpointed

  expect_error<error_internal>([&] { log_update(data.data(), 1, 0); },
                               "Update outside of transaction attempted");
  expect_error<error_internal>([] { end_transaction(true); }, "End of non-existing transaction");
  begin_transaction();
  begin_transaction();
  EXPECT_DEATH(end_transaction(false),
               "Assertion failed: Syncronous nested transactions not supported");
}

// A 1000-byte journal: lower half entries 48..488, upper half 504..992.
TEST_F(TransactionTest, FullHalfFlipsToTheOtherHalf) {
  create_mdb(tool_layout(1000));
  open_mdb();
  begin_transaction();
  const std::vector<std::uint8_t> big = pattern(380, 3);
  log_update(big.data(), 380, 40'000);  // 24 bytes left
  const std::uint8_t five[5] = {1, 2, 3, 4, 5};
  expect_error<error_transact>([&] { log_update(five, 5, 0); }, "Transaction log full");
  EXPECT_EQ(journal_position(), 464u);
  log_update(five, 4, 50'000);  // exactly the 24 bytes left
  end_transaction(false);       // the TEND takes the half's reserved tail
  EXPECT_EQ(mdb_bytes(40'000, 380), big);

  diagnostic_mask().set(kDiagInfo);
  EXPECT_EQ(stderr_of([] { begin_transaction(); }),
            "Checkpoint initiated because of semi-full log\n");
  EXPECT_EQ(cursor().half, 1u);
  EXPECT_EQ(cursor().serial, 2u);
  EXPECT_EQ(journal_position(), 504u + 16);
  EXPECT_EQ(decode_index_pointer(database().journal.index_pointer(1)).start, 504u);
  const std::uint32_t position = journal_position();
  flip(true);
  EXPECT_EQ(tred_target(database().journal.entry_at(position)), 48u);
  EXPECT_EQ(cursor().serial, 3u);
}

// A journal written entry by entry, as an earlier run would have left it.
struct JournalImage {
  static constexpr std::uint32_t kLength = 1 << 16;
  JournalImage() : bytes(kLength) { encode_fresh_journal_header(bytes.data()); }
  std::uint8_t* pointer(std::uint32_t i) {
    return &bytes[kIndexPointerOffset + i * kIndexPointerSize];
  }
  // A complete transaction of one 8-byte update; returns the next position.
  std::uint32_t transaction(std::uint32_t pos, std::uint64_t serial, std::uint64_t target,
                            std::uint8_t seed) {
    encode_tbeg(&bytes[pos], serial);
    encode_tupd(&bytes[pos + kTbegSize], pattern(8, seed).data(), 8, target);
    encode_tend(&bytes[pos + 48], transaction_crc(&bytes[pos], 48));
    return pos + 56;
  }
  std::vector<std::uint8_t> bytes;
};

class ReplayTest : public MdbFixture {
 protected:
  void SetUp() override {
    MdbFixture::SetUp();
    create_mdb(tool_layout(JournalImage::kLength));
  }
  // Opens the MDB over `image` without replaying it yet.
  void reopen(const JournalImage& image) {
    shut_down();
    testing_util::write_file(journal_path, image.bytes);
    open_store(mdb_path);
    open_database();
  }
  // Opens the MDB over `image`, replays it and returns the replay's lines.
  std::string replay(const JournalImage& image) {
    reopen(image);
    diagnostic_mask().set(kDiagInfo);
    const std::string lines = stderr_of([] { replay_at_open(); });
    diagnostic_mask().set(0);
    return lines;
  }
};

TEST_F(ReplayTest, ReplayEndsQuietlyAtDamagedOrTornTransactions) {
  const std::vector<std::uint8_t> zeros(8);
  JournalImage crc;
  encode_index_pointer(crc.pointer(0), {1, 48});
  const std::uint32_t second = crc.transaction(48, 1, 5000, 1);
  crc.transaction(second, 1, 6000, 2);
  crc.bytes[second + 40] ^= 0xFF;  // a data byte of the second
  EXPECT_EQ(replay(crc), "Invalid CRC in transaction - no more valid entries.\n");
  EXPECT_EQ(mdb_bytes(5000, 8), pattern(8, 1));
  EXPECT_EQ(mdb_bytes(6000, 8), zeros);

  // A torn update whose length runs past the journal.
  JournalImage torn;
  encode_index_pointer(torn.pointer(0), {1, 48});
  const std::uint32_t pos = torn.transaction(48, 1, 7000, 3);
  encode_tbeg(&torn.bytes[pos], 1);
  support::store_be32(&torn.bytes[pos + 16], kTupdMagic);
  support::store_be32(&torn.bytes[pos + 20], 0xFFFFFF00u);
  EXPECT_EQ(replay(torn),
            "End of valid update entries in journal.\n"
            "End of valid transaction end entries in journal.\n");
  EXPECT_EQ(mdb_bytes(7000, 8), pattern(8, 3));

  JournalImage redirected;
  encode_index_pointer(redirected.pointer(0), {1, 48});
  encode_tred(&redirected.bytes[redirected.transaction(48, 1, 4096, 4)], JournalImage::kLength - 4);
  EXPECT_EQ(replay(redirected), "Encountered bad index in redirection entry - replay end.\n");
  EXPECT_EQ(mdb_bytes(4096, 8), pattern(8, 4));
}

TEST_F(ReplayTest, PointerChoiceAndHeaderChecks) {
  JournalImage image;  // pointer 0 damaged: pointer 1 (serial 0) is chosen
  encode_index_pointer(image.pointer(0), {5, 48});
  image.pointer(0)[12] ^= 1;
  replay(image);
  EXPECT_EQ(cursor().half, 0u);
  EXPECT_EQ(cursor().serial, 1u);

  image.pointer(1)[0] ^= 1;
  reopen(image);
  diagnostic_mask().set(kDiagNotice);
  EXPECT_EQ(stderr_of([] {
              expect_error<error_need_repair>([] { replay_at_open(); },
                                              "Both index pointers were invalid");
            }),
            "POSSIBLE DATA LOSS: REPLAY IMPOSSIBLE\n");
  support::store_be32(&image.bytes[4], 2);
  expect_error<error_unsupported>([&] { replay(image); },
                                  "Journal version 2 is unsupported - please upgrade Vexmon first");
  image.bytes.assign(JournalImage::kLength, 0);
  expect_error<error_fubar>([&] { replay(image); }, "Journal does not start with a journal header");
  close_journal();
  expect_error<error_internal>([] { replay_at_open(); }, "No journal mapped");
}

// The map's 256 blocks have entries for 256 * 8192 blocks of 8192 bytes
// (16 GiB): no replayed or logged update may reach past them.
TEST_F(ReplayTest, UpdatesBeyondTheBlocksOfTheMapAreRefused) {
  constexpr std::uint64_t kCovered = std::uint64_t{256} * 8192 * 8192;
  const std::string text =
      "Update of 8 bytes at MDB offset 17179869180 lies beyond the 2097152 blocks "
      "the allocation map covers";
  JournalImage far;
  encode_index_pointer(far.pointer(0), {1, 48});
  far.transaction(far.transaction(48, 1, 5000, 1), 1, kCovered - 4, 2);
  reopen(far);
  expect_error<error_need_repair>([] { replay_at_open(); }, text);
  // Nothing was written: the replay checks every update before it writes.
  EXPECT_EQ(mdb_bytes(5000, 8), std::vector<std::uint8_t>(8));
  EXPECT_EQ(std::filesystem::file_size(mdb_path), 385u * 8192);

  JournalImage fresh;
  replay(fresh);
  begin_transaction();
  const std::vector<std::uint8_t> data = pattern(8, 1);
  log_update(data.data(), 8, kCovered - 8);  // the last 8 bytes are still covered
  expect_error<error_need_repair>([&] { log_update(data.data(), 8, kCovered - 4); }, text);
  EXPECT_EQ(journal_position(), 48u + 16 + 32);
}

}  // namespace
}  // namespace mdb
