#include "server/database/mdb/replay.h"

#include <gtest/gtest.h>

#include <utility>

#include "server/database/mdb/journal_test_fixture.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/clock.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using mdb_testing::expect_error;
using mdb_testing::pattern;
using mdb_testing::stderr_of;

constexpr std::uint32_t kLength = 1 << 16;  // upper half starts at 32768
constexpr std::uint32_t kUpper = kLength / 2;

using Updates = std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>;

// A journal written entry by entry, as a previous run would have left it.
struct JournalImage {
  explicit JournalImage(std::uint32_t length) : bytes(length) {
    encode_fresh_journal_header(bytes.data());
  }
  void set_pointer(std::uint32_t i, std::uint64_t serial, std::uint32_t start) {
    encode_index_pointer(&bytes[kIndexPointerOffset + i * kIndexPointerSize],
                         {serial, start});
  }
  // A complete transaction at `pos`; returns the position after its TEND.
  std::uint32_t transaction(std::uint32_t pos, std::uint64_t serial,
                            const Updates& updates) {
    const std::uint32_t begin = pos;
    encode_tbeg(&bytes[pos], serial);
    pos += kTbegSize;
    for (const auto& [target, data] : updates) {
      const auto n = static_cast<std::uint32_t>(data.size());
      encode_tupd(&bytes[pos], data.data(), n, target);
      pos += static_cast<std::uint32_t>(update_entry_size(n));
    }
    encode_tend(&bytes[pos], transaction_crc(&bytes[begin], pos - begin));
    return pos + kTendSize;
  }
  std::uint32_t redirection(std::uint32_t pos, std::uint32_t target) {
    encode_tred(&bytes[pos], target);
    return pos + kTredSize;
  }
  std::vector<std::uint8_t> bytes;
};

class ReplayTest : public mdb_testing::JournalFixture {
 protected:
  // Opens the MDB over `image` and returns the replay's bit-2 lines.
  std::string replay(const JournalImage& image) {
    testing_util::write_file(journal_path, image.bytes);
    open_store(mdb_path);
    open_database();
    diagnostic_mask().set(kDiagInfo);
    const std::string err = stderr_of([] { replay_at_open(); });
    diagnostic_mask().set(0);
    return err;
  }
  void hold_checkpoints() {
    state().last_sync_second = support::now().seconds + 1000;
  }
  void commit(std::uint64_t target, const std::vector<std::uint8_t>& data) {
    begin_transaction();
    log_update(data.data(), static_cast<std::uint32_t>(data.size()), target);
    end_transaction(true);
  }
  std::vector<std::uint8_t> zeros(std::size_t n) { return std::vector<std::uint8_t>(n); }
};

TEST_F(ReplayTest, FreshJournalStartsTheFirstTurnInTheLowerHalf) {
  create_mdb(kLength);
  diagnostic_mask().set(kDiagTrace | kDiagInfo);
  const std::string err = stderr_of([&] { open_mdb(); });
  diagnostic_mask().set(0);
  EXPECT_NE(err.find("Starting replay at journal offset 0\n"
                     "End of valid transaction-begin entries in journal.\n"
                     "Journal flipped. Now using serial 1, index 0, jpos 48\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(cursor().half, 0u);
  EXPECT_EQ(cursor().serial, 1u);
  EXPECT_EQ(cursor().write_position, 48u);
}

TEST_F(ReplayTest, CrashReplaysExactlyTheCommittedTransactions) {
  create_and_open(kLength);
  hold_checkpoints();
  const auto first = pattern(10, 1), second = pattern(300, 2), torn = pattern(6, 3);
  commit(100'000, first);
  commit(200'000, second);
  begin_transaction();  // the run dies inside this transaction
  log_update(torn.data(), 6, 300'000);
  shut_down();
  EXPECT_EQ(mdb_bytes(100'000, 10), zeros(10));

  open_store(mdb_path);
  open_database();
  diagnostic_mask().set(kDiagInfo);
  const std::string err = stderr_of([] { replay_at_open(); });
  diagnostic_mask().set(0);
  EXPECT_EQ(err,
            "End of valid update entries in journal.\n"
            "End of valid transaction end entries in journal.\n");
  EXPECT_EQ(mdb_bytes(100'000, 10), first);
  EXPECT_EQ(mdb_bytes(200'000, 300), second);
  EXPECT_EQ(mdb_bytes(300'000, 6), zeros(6));
  EXPECT_EQ(cursor().half, 1u);
  EXPECT_EQ(cursor().serial, 2u);
  EXPECT_EQ(cursor().write_position, kUpper);

  // The new turn works and survives the next replay as well.
  const auto third = pattern(5, 4);
  hold_checkpoints();
  commit(400'000, third);
  shut_down();
  open_mdb();
  EXPECT_EQ(mdb_bytes(400'000, 5), third);
  EXPECT_EQ(cursor().half, 0u);
  EXPECT_EQ(cursor().serial, 3u);
}

TEST_F(ReplayTest, BadCrcEndsReplayBeforeThatTransaction) {
  create_mdb(kLength);
  JournalImage image(kLength);
  image.set_pointer(0, 1, 48);
  std::uint32_t pos = image.transaction(48, 1, {{5000, pattern(8, 1)}});
  const std::uint32_t damaged = pos + kTbegSize + kTupdHeaderSize;
  pos = image.transaction(pos, 1, {{6000, pattern(8, 2)}});
  image.transaction(pos, 1, {{7000, pattern(8, 3)}});
  image.bytes[damaged] ^= 0xFF;
  EXPECT_EQ(replay(image),
            "Invalid CRC in transaction - no more valid entries.\n");
  EXPECT_EQ(mdb_bytes(5000, 8), pattern(8, 1));
  EXPECT_EQ(mdb_bytes(6000, 8), zeros(8));
  EXPECT_EQ(mdb_bytes(7000, 8), zeros(8));
}

TEST_F(ReplayTest, NewestPointerWinsAndStaleEntriesAreIgnored) {
  create_mdb(kLength);
  JournalImage image(kLength);
  image.set_pointer(0, 7, 48);
  image.set_pointer(1, 6, kUpper);
  // The upper half holds the older turn, already applied by its checkpoint.
  image.transaction(kUpper, 6, {{8000, pattern(4, 9)}});
  const std::uint32_t pos = image.transaction(48, 7, {{9000, pattern(4, 1)}});
  image.transaction(pos, 5, {{9100, pattern(4, 2)}});  // left from turn 5
  EXPECT_EQ(replay(image),
            "Found stale transaction in journal - end of replay.\n");
  EXPECT_EQ(mdb_bytes(9000, 4), pattern(4, 1));
  EXPECT_EQ(mdb_bytes(9100, 4), zeros(4));
  EXPECT_EQ(mdb_bytes(8000, 4), zeros(4));
  EXPECT_EQ(cursor().half, 1u);
  EXPECT_EQ(cursor().serial, 8u);
  EXPECT_EQ(cursor().write_position, kUpper);
  // The new turn's half holds nothing of the older turns any more.
  EXPECT_EQ(entry_magic(database().journal.entry_at(kUpper)), 0u);
}

TEST_F(ReplayTest, RedirectionIsFollowedOnce) {
  create_mdb(kLength);
  JournalImage image(kLength);
  image.set_pointer(0, 3, 48);
  image.set_pointer(1, 2, kUpper);
  std::uint32_t pos = image.transaction(48, 3, {{1024, pattern(4, 1)}});
  image.redirection(pos, kUpper);
  pos = image.transaction(kUpper, 4, {{2048, pattern(4, 2)}});
  image.redirection(pos, 48);  // back into the half it came from
  EXPECT_EQ(replay(image),
            "Encountered second redirection entry - end of replay.\n");
  EXPECT_EQ(mdb_bytes(1024, 4), pattern(4, 1));
  EXPECT_EQ(mdb_bytes(2048, 4), pattern(4, 2));
  EXPECT_EQ(cursor().half, 1u);
  EXPECT_EQ(cursor().serial, 5u);
}

TEST_F(ReplayTest, RedirectionOutsideTheJournalEndsReplay) {
  create_mdb(kLength);
  JournalImage image(kLength);
  image.set_pointer(0, 1, 48);
  image.redirection(image.transaction(48, 1, {{1024, pattern(4, 1)}}),
                    kLength - 4);
  EXPECT_EQ(replay(image),
            "Encountered bad index in redirection entry - replay end.\n");
  EXPECT_EQ(mdb_bytes(1024, 4), pattern(4, 1));
}

TEST_F(ReplayTest, TornUpdateRunningPastTheJournalEndsQuietly) {
  create_mdb(kLength);
  JournalImage image(kLength);
  image.set_pointer(0, 1, 48);
  const std::uint32_t pos = image.transaction(48, 1, {{1024, pattern(4, 1)}});
  encode_tbeg(&image.bytes[pos], 1);
  support::store_be32(&image.bytes[pos + kTbegSize], kTupdMagic);
  support::store_be32(&image.bytes[pos + kTbegSize + 4], 0xFFFFFF00u);
  EXPECT_EQ(replay(image),
            "End of valid update entries in journal.\n"
            "End of valid transaction end entries in journal.\n");
  EXPECT_EQ(mdb_bytes(1024, 4), pattern(4, 1));
}

TEST_F(ReplayTest, ReplayPastTheStoreEndExtendsTheFile) {
  create_mdb(kLength);
  JournalImage image(kLength);
  image.set_pointer(0, 1, 48);
  image.transaction(48, 1, {{mdb_testing::kTestMdbSize + 100, pattern(4, 1)}});
  replay(image);
  EXPECT_EQ(mdb_bytes(mdb_testing::kTestMdbSize + 100, 4), pattern(4, 1));
}

TEST_F(ReplayTest, PointerChoiceAndHeaderChecks) {
  create_mdb(kLength);
  // A damaged pointer 0 leaves the valid pointer 1, even at serial 0.
  JournalImage image(kLength);
  image.set_pointer(0, 5, 48);
  image.bytes[kIndexPointerOffset + 12] ^= 1;
  replay(image);
  EXPECT_EQ(cursor().half, 0u);
  EXPECT_EQ(cursor().serial, 1u);
  shut_down();

  JournalImage wrong_version(kLength);
  support::store_be32(&wrong_version.bytes[4], 2);
  testing_util::write_file(journal_path, wrong_version.bytes);
  open_store(mdb_path);
  open_database();
  expect_error<error_unsupported>(
      [] { replay_at_open(); },
      "Journal version 2 is unsupported - please upgrade Vexmon first");
  shut_down();

  testing_util::write_file(journal_path, std::vector<std::uint8_t>(kLength));
  open_store(mdb_path);
  open_database();
  expect_error<error_fubar>([] { replay_at_open(); },
                            "Journal does not start with a journal header");
  close_journal();
  expect_error<error_internal>([] { replay_at_open(); }, "No journal mapped");
}

TEST_F(ReplayTest, BothPointersInvalidWarnsOfDataLoss) {
  create_mdb(kLength);
  JournalImage image(kLength);
  image.bytes[kIndexPointerOffset] ^= 1;
  image.bytes[kIndexPointerOffset + kIndexPointerSize] ^= 1;
  testing_util::write_file(journal_path, image.bytes);
  open_store(mdb_path);
  open_database();
  diagnostic_mask().set(kDiagNotice);
  testing::internal::CaptureStderr();
  expect_error<error_need_repair>([] { replay_at_open(); },
                                  "Both index pointers were invalid");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "POSSIBLE DATA LOSS: REPLAY IMPOSSIBLE\n");
}

}  // namespace
}  // namespace mdb
