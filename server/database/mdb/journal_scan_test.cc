#include "server/database/mdb/journal_scan.h"

#include <gtest/gtest.h>

#include <map>

#include "server/database/mdb/journal_test_fixture.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using mdb_testing::expect_error;
using mdb_testing::kTestBlock;
using mdb_testing::pattern;
using Bytes = std::vector<std::uint8_t>;

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t n) {
  return {bytes.begin() + from, bytes.begin() + from + n};
}

TEST(CopyUpdateTest, CopiesOnlyTheOverlap) {
  const Bytes data = pattern(12, 1);
  Bytes block(kTestBlock, 0xEE);
  // Block 1: across its start, ending at its start, starting at its end, empty.
  for (const std::uint64_t target : {8190, 8180, 16384}) {
    copy_update_into(block.data(), kTestBlock, kTestBlock,
                     {12, target, data.data(), 32});
  }
  copy_update_into(block.data(), kTestBlock, kTestBlock,
                   {0, 8200, data.data(), 24});
  Bytes expected(kTestBlock, 0xEE);
  std::copy(data.begin() + 2, data.end(), expected.begin());
  EXPECT_EQ(block, expected);
}

// Blocks held in memory the way the buffer cache holds them.
struct BlockMap : CachedBlocks {
  std::uint8_t* find_cached(std::uint32_t block) override {
    const auto found = blocks.find(block);
    return found == blocks.end() ? nullptr : found->second.data();
  }
  std::map<std::uint32_t, Bytes> blocks;
};

class JournalScanTest : public mdb_testing::JournalFixture {
 protected:
  void SetUp() override {
    JournalFixture::SetUp();
    create_mdb(1 << 16);
    open_mdb();
    hold_checkpoints();
  }
  void TearDown() override {
    set_cached_blocks(nullptr);
    JournalFixture::TearDown();
  }
  void commit(std::uint64_t target, const Bytes& data) {
    begin_transaction();
    log_update(data.data(), static_cast<std::uint32_t>(data.size()), target);
    end_transaction(true);
  }
  // Block n as a freshly loaded block: the file's bytes plus the overlay.
  Bytes loaded_block(std::uint32_t n) {
    Bytes block = mdb_bytes(std::uint64_t{n} * kTestBlock, kTestBlock);
    overlay_loaded_block(block.data(), kTestBlock, std::uint64_t{n} * kTestBlock);
    return block;
  }
};

TEST_F(JournalScanTest, CachePushUpdatesOnlyCachedBlocks) {
  BlockMap cache;
  cache.blocks[301] = Bytes(kTestBlock);
  cache.blocks[303] = Bytes(kTestBlock);
  set_cached_blocks(&cache);
  const Bytes data = pattern(16, 1);
  commit(301ull * kTestBlock - 6, data);  // ends of blocks 300 and 301
  EXPECT_EQ(state().cache_count, 1u);
  EXPECT_EQ(state().cache_offset, 16u + 40 + 8);
  EXPECT_EQ(slice(cache.blocks[301], 0, 10), slice(data, 6, 10));
  EXPECT_EQ(cache.blocks[303], Bytes(kTestBlock));
  EXPECT_EQ(cache.blocks.count(300), 0u);
}

TEST_F(JournalScanTest, OverlaysShowCommittedAndOpenUpdates) {
  const std::uint64_t base = 300ull * kTestBlock;
  commit(base + 16, pattern(8, 1));
  EXPECT_EQ(mdb_bytes(base + 16, 8), Bytes(8));  // not checkpointed yet
  const Bytes block = loaded_block(300);
  EXPECT_EQ(slice(block, 16, 8), pattern(8, 1));

  // A private copy also shows the open transaction; a loaded block not.
  begin_transaction();
  log_update(pattern(4, 9).data(), 4, base + 100);
  Bytes copy = block;
  overlay_private_copy(copy.data(), kTestBlock, base);
  EXPECT_EQ(slice(copy, 100, 4), pattern(4, 9));
  EXPECT_EQ(loaded_block(300), block);

  // After the checkpoint the file holds everything and the overlay is idle.
  end_transaction(false);
  const Bytes file_block = mdb_bytes(base, kTestBlock);
  EXPECT_EQ(slice(file_block, 100, 4), pattern(4, 9));
  EXPECT_EQ(loaded_block(300), file_block);
}

TEST_F(JournalScanTest, RunningScansRefuseAnInconsistentJournal) {
  commit(10'000, pattern(8, 1));
  std::uint8_t* tbeg = database().journal.entry_at(48);
  support::store_be64(tbeg + 8, 99);
  expect_error<error_internal>([] { apply_committed(); },
                               "Stale transaction found in running journal");
  support::store_be64(tbeg + 8, 1);

  state().cache_count = 2;
  expect_error<error_internal>([&] { loaded_block(1); },
                               "n_replayed_transactions inconsistency 1 vs. 2");
  state().cache_count = 1;
  state().cache_offset = 1000;
  expect_error<error_internal>([&] { loaded_block(1); },
                               "transaction_offset inconsistency 56 vs. 1000");
  state().cache_offset = 56;
}

}  // namespace
}  // namespace mdb
