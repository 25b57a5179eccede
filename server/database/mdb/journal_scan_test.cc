#include "server/database/mdb/journal_scan.h"

#include <gtest/gtest.h>

#include <map>

#include "server/database/mdb/journal_test_fixture.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/clock.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using mdb_testing::expect_error;
using mdb_testing::kTestBlock;
using mdb_testing::pattern;

TEST(CopyUpdateTest, CopiesOnlyTheOverlap) {
  const std::vector<std::uint8_t> data = pattern(12, 1);
  const UpdateEntry update{12, 8190, data.data(), 32};
  std::vector<std::uint8_t> block(kTestBlock, 0xEE);
  copy_update_into(block.data(), block.size(), kTestBlock, update);
  EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.begin() + 10),
            std::vector<std::uint8_t>(data.begin() + 2, data.end()));
  EXPECT_EQ(block[10], 0xEE);

  // Before, after and zero-length updates leave the buffer as it was.
  const std::vector<std::uint8_t> untouched(kTestBlock, 0xEE);
  std::vector<std::uint8_t> other(kTestBlock, 0xEE);
  copy_update_into(other.data(), other.size(), 3 * kTestBlock, update);
  copy_update_into(other.data(), other.size(), 0, {12, 8192, data.data(), 32});
  copy_update_into(other.data(), other.size(), 0, {0, 100, data.data(), 24});
  EXPECT_EQ(other, untouched);
}

// Blocks held in memory the way the buffer cache holds them.
class BlockMap : public CachedBlocks {
 public:
  std::uint8_t* find_cached(std::uint32_t block) override {
    const auto found = blocks.find(block);
    return found == blocks.end() ? nullptr : found->second.data();
  }
  std::map<std::uint32_t, std::vector<std::uint8_t>> blocks;
};

class JournalScanTest : public mdb_testing::JournalFixture {
 protected:
  void TearDown() override {
    set_cached_blocks(nullptr);
    JournalFixture::TearDown();
  }
  void hold_checkpoints() {
    state().last_sync_second = support::now().seconds + 1000;
  }
  void commit(std::uint64_t target, const std::vector<std::uint8_t>& data) {
    begin_transaction();
    log_update(data.data(), static_cast<std::uint32_t>(data.size()), target);
    end_transaction(true);
  }
  // Block n as the file holds it, overlaid like a freshly loaded block.
  std::vector<std::uint8_t> loaded_block(std::uint32_t n) {
    std::vector<std::uint8_t> block = mdb_bytes(std::uint64_t{n} * kTestBlock,
                                                 kTestBlock);
    overlay_loaded_block(block.data(), block.size(),
                         std::uint64_t{n} * kTestBlock);
    return block;
  }
};

TEST_F(JournalScanTest, CachePushUpdatesOnlyCachedBlocks) {
  create_and_open(1 << 16);
  BlockMap cache;
  cache.blocks[301] = std::vector<std::uint8_t>(kTestBlock, 0);
  cache.blocks[303] = std::vector<std::uint8_t>(kTestBlock, 0);
  set_cached_blocks(&cache);
  hold_checkpoints();
  // Spans the end of block 300 and the start of block 301.
  const std::vector<std::uint8_t> data = pattern(16, 1);
  commit(301ull * kTestBlock - 6, data);
  EXPECT_EQ(state().cache_count, 1u);
  EXPECT_EQ(state().cache_offset, 16u + 40u + 8u);
  const std::vector<std::uint8_t>& block = cache.blocks[301];
  EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.begin() + 10),
            std::vector<std::uint8_t>(data.begin() + 6, data.end()));
  EXPECT_EQ(cache.blocks[303], std::vector<std::uint8_t>(kTestBlock, 0));
  EXPECT_EQ(cache.blocks.count(300), 0u);
}

TEST_F(JournalScanTest, OverlaysShowCommittedAndOpenUpdates) {
  create_and_open(1 << 16);
  hold_checkpoints();
  const std::vector<std::uint8_t> committed = pattern(8, 1);
  commit(300ull * kTestBlock + 16, committed);

  // The file does not have it yet; a freshly loaded block does.
  std::vector<std::uint8_t> block = loaded_block(300);
  EXPECT_EQ(std::vector<std::uint8_t>(block.begin() + 16, block.begin() + 24),
            committed);
  EXPECT_EQ(mdb_bytes(300ull * kTestBlock + 16, 8), std::vector<std::uint8_t>(8));

  // A private copy adds the open transaction's updates to the cached image;
  // the loaded block does not show them.
  begin_transaction();
  const std::vector<std::uint8_t> open = pattern(4, 9);
  log_update(open.data(), 4, 300ull * kTestBlock + 100);
  std::vector<std::uint8_t> copy = block;
  overlay_private_copy(copy.data(), copy.size(), 300ull * kTestBlock);
  EXPECT_EQ(std::vector<std::uint8_t>(copy.begin() + 100, copy.begin() + 104),
            open);
  EXPECT_EQ(loaded_block(300), block);

  // Once the checkpoint has applied everything, the overlay adds nothing.
  end_transaction(false);
  const std::vector<std::uint8_t> file_block =
      mdb_bytes(300ull * kTestBlock, kTestBlock);
  EXPECT_EQ(loaded_block(300), file_block);
  EXPECT_EQ(std::vector<std::uint8_t>(file_block.begin() + 100,
                                      file_block.begin() + 104),
            open);
}

TEST_F(JournalScanTest, RunningScansRefuseAnInconsistentJournal) {
  create_and_open(1 << 16);
  hold_checkpoints();
  commit(10'000, pattern(8, 1));
  std::uint8_t* tbeg = database().journal.entry_at(48);
  support::store_be64(tbeg + 8, 99);
  std::vector<std::uint8_t> block(kTestBlock);
  expect_error<error_internal>(
      [&] { overlay_loaded_block(block.data(), block.size(), 0); },
      "Stale transaction found in running journal");
  expect_error<error_internal>([] { apply_committed(); },
                               "Stale transaction found in running journal");
  support::store_be64(tbeg + 8, 1);

  // The cache marks may never run ahead of what the journal holds.
  state().cache_count = 2;
  expect_error<error_internal>(
      [&] { overlay_loaded_block(block.data(), block.size(), 0); },
      "n_replayed_transactions inconsistency 1 vs. 2");
  state().cache_count = 1;
  state().cache_offset = 1000;
  expect_error<error_internal>(
      [&] { overlay_loaded_block(block.data(), block.size(), 0); },
      "transaction_offset inconsistency 56 vs. 1000");
  state().cache_offset = 56;

  // The open transaction's updates must end exactly at the write position.
  begin_transaction();
  const std::vector<std::uint8_t> data = pattern(8, 2);
  log_update(data.data(), 8, 10'000);
  database().journal.cursor.write_position -= 8;
  expect_error<error_internal>(
      [&] { overlay_private_copy(block.data(), block.size(), 0); },
      "Attempt to follow incomplete update sequence beyond end of active "
      "journal space");
}

}  // namespace
}  // namespace mdb
