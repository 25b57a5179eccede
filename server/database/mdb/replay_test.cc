#include "server/database/mdb/replay.h"

#include <gtest/gtest.h>

#include <utility>

#include "server/database/mdb/journal_entries.h"
#include "server/database/mdb/journal_layout.h"
#include "server/database/mdb/journal_test_fixture.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using mdb_testing::expect_error;
using mdb_testing::pattern;
using mdb_testing::stderr_of;

constexpr std::uint32_t kLength = 1 << 16;
constexpr std::uint32_t kUpper = kLength / 2;  // the upper half's start
const std::vector<std::uint8_t> kZeros(8);

// A journal written entry by entry, as a previous run would have left it.
struct JournalImage {
  JournalImage() : bytes(kLength) { encode_fresh_journal_header(bytes.data()); }
  std::uint8_t* pointer(std::uint32_t i) {
    return &bytes[kIndexPointerOffset + i * kIndexPointerSize];
  }
  // A complete transaction of one 8-byte update; returns the next position.
  std::uint32_t transaction(std::uint32_t pos, std::uint64_t serial,
                            std::uint64_t target, std::uint8_t seed) {
    encode_tbeg(&bytes[pos], serial);
    encode_tupd(&bytes[pos + kTbegSize], pattern(8, seed).data(), 8, target);
    encode_tend(&bytes[pos + 48], transaction_crc(&bytes[pos], 48));
    return pos + 56;
  }
  std::vector<std::uint8_t> bytes;
};

class ReplayTest : public mdb_testing::JournalFixture {
 protected:
  // Reopens the MDB over `image` without replaying it yet.
  void reopen(const JournalImage& image) {
    shut_down();
    diagnostic_mask().set(0);
    testing_util::write_file(journal_path, image.bytes);
    open_store(mdb_path);
    open_database();
  }
  // Reopens the MDB over `image` and returns the replay's bit-2 lines.
  std::string replay(const JournalImage& image) {
    reopen(image);
    diagnostic_mask().set(kDiagInfo);
    const std::string lines = stderr_of([] { replay_at_open(); });
    diagnostic_mask().set(0);
    return lines;
  }
};

TEST_F(ReplayTest, CrashReplaysExactlyTheCommittedTransactions) {
  create_mdb(kLength);
  open_mdb();
  hold_checkpoints();
  for (std::uint8_t i = 1; i <= 3; ++i) {  // the third never ends
    begin_transaction();
    log_update(pattern(8, i).data(), 8, i * 10'000);
    if (i < 3) end_transaction(true);
  }
  shut_down();
  EXPECT_EQ(mdb_bytes(10'000, 8), kZeros);

  JournalImage journal;
  journal.bytes = testing_util::read_file(journal_path);
  EXPECT_EQ(replay(journal),
            "End of valid update entries in journal.\n"
            "End of valid transaction end entries in journal.\n");
  EXPECT_EQ(mdb_bytes(10'000, 8), pattern(8, 1));
  EXPECT_EQ(mdb_bytes(20'000, 8), pattern(8, 2));
  EXPECT_EQ(mdb_bytes(30'000, 8), kZeros);
  EXPECT_EQ(cursor().half, 1u);
  EXPECT_EQ(cursor().serial, 2u);
  EXPECT_EQ(cursor().write_position, kUpper);
}

TEST_F(ReplayTest, ReplayEndsAtTheFirstInvalidTransaction) {
  create_mdb(kLength);
  JournalImage crc;
  encode_index_pointer(crc.pointer(0), {1, 48});
  std::uint32_t pos = crc.transaction(48, 1, 5000, 1);
  crc.transaction(crc.transaction(pos, 1, 6000, 2), 1, 7000, 3);
  crc.bytes[pos + 40] ^= 0xFF;  // a data byte of the second
  EXPECT_EQ(replay(crc), "Invalid CRC in transaction - no more valid entries.\n");
  EXPECT_EQ(mdb_bytes(5000, 8), pattern(8, 1));
  EXPECT_EQ(mdb_bytes(6000, 8), kZeros);
  EXPECT_EQ(mdb_bytes(7000, 8), kZeros);

  // Pointer 0 is the newer; the older turn in the upper half is ignored and
  // so is a leftover of turn 5 behind the last current transaction.
  JournalImage stale;
  encode_index_pointer(stale.pointer(0), {7, 48});
  encode_index_pointer(stale.pointer(1), {6, kUpper});
  stale.transaction(kUpper, 6, 8000, 4);
  stale.transaction(stale.transaction(48, 7, 9000, 5), 5, 9100, 6);
  EXPECT_EQ(replay(stale), "Found stale transaction in journal - end of replay.\n");
  EXPECT_EQ(mdb_bytes(9000, 8), pattern(8, 5));
  EXPECT_EQ(mdb_bytes(9100, 8), kZeros);
  EXPECT_EQ(mdb_bytes(8000, 8), kZeros);
  EXPECT_EQ(cursor().half, 1u);
  EXPECT_EQ(cursor().serial, 8u);
  // Nothing of the older turns is left in the new turn's half.
  EXPECT_EQ(entry_magic(database().journal.entry_at(kUpper)), 0u);

  // A torn update whose length runs past the journal ends the replay
  // quietly, and an update past the store's end extends the file.
  JournalImage torn;
  encode_index_pointer(torn.pointer(0), {1, 48});
  pos = torn.transaction(48, 1, 385 * 8192 + 100, 7);
  encode_tbeg(&torn.bytes[pos], 1);
  support::store_be32(&torn.bytes[pos + 16], kTupdMagic);
  support::store_be32(&torn.bytes[pos + 20], 0xFFFFFF00u);
  EXPECT_EQ(replay(torn),
            "End of valid update entries in journal.\n"
            "End of valid transaction end entries in journal.\n");
  EXPECT_EQ(mdb_bytes(385 * 8192 + 100, 8), pattern(8, 7));
}

TEST_F(ReplayTest, RedirectionIsFollowedOnce) {
  create_mdb(kLength);
  JournalImage image;
  encode_index_pointer(image.pointer(0), {3, 48});
  encode_tred(&image.bytes[image.transaction(48, 3, 1024, 1)], kUpper);
  encode_tred(&image.bytes[image.transaction(kUpper, 4, 2048, 2)], 48);
  EXPECT_EQ(replay(image),
            "Encountered second redirection entry - end of replay.\n");
  EXPECT_EQ(mdb_bytes(1024, 8), pattern(8, 1));
  EXPECT_EQ(mdb_bytes(2048, 8), pattern(8, 2));
  EXPECT_EQ(cursor().half, 1u);
  EXPECT_EQ(cursor().serial, 5u);

  JournalImage bad;
  encode_index_pointer(bad.pointer(0), {1, 48});
  encode_tred(&bad.bytes[bad.transaction(48, 1, 4096, 3)], kLength - 4);
  EXPECT_EQ(replay(bad),
            "Encountered bad index in redirection entry - replay end.\n");
  EXPECT_EQ(mdb_bytes(4096, 8), pattern(8, 3));
}

TEST_F(ReplayTest, PointerChoiceAndHeaderChecks) {
  create_mdb(kLength);
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
  expect_error<error_unsupported>(
      [&] { replay(image); },
      "Journal version 2 is unsupported - please upgrade Vexmon first");
  image.bytes.assign(kLength, 0);
  expect_error<error_fubar>([&] { replay(image); },
                            "Journal does not start with a journal header");
  close_journal();
  expect_error<error_internal>([] { replay_at_open(); }, "No journal mapped");
}

}  // namespace
}  // namespace mdb
