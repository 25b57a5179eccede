// Test fixture of the buffer cache and the allocator: a fresh MDB (D = 257,
// 385 blocks, external journal) opened and replayed the way every user
// opens it, with an empty buffer cache and allocator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/buffer_cache.h"
#include "server/database/mdb/journal_test_fixture.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/big_endian.h"

namespace mdb_testing {

inline constexpr std::uint32_t kFirstDataBlock = 257;
inline constexpr std::uint32_t kStoreBlocks = 385;

class CacheFixture : public JournalFixture {
 protected:
  void SetUp() override {
    JournalFixture::SetUp();
    create_mdb(1 << 20);
    open_fresh();
  }
  void TearDown() override {
    mdb::reset_buffer_cache();
    mdb::reset_allocator();
    JournalFixture::TearDown();
  }
  // Opens the MDB again (replaying its journal) with nothing cached.
  void reopen() {
    shut_down();
    open_fresh();
  }
  // Commits `bytes` at byte `offset` of block n in a transaction.
  void commit(std::uint32_t n, std::uint32_t offset,
              const std::vector<std::uint8_t>& bytes) {
    mdb::begin_transaction();
    mdb::log_update(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                    std::uint64_t{n} * kTestBlock + offset);
    mdb::end_transaction(true);
  }
  // Writes map entries straight into the file, as a previous run left them.
  // REQUIRES: the map is not loaded (reset_allocator).
  void write_map_entries(std::uint32_t first, std::uint32_t count,
                         std::uint8_t state) {
    const std::vector<std::uint8_t> bytes(count, state);
    mdb::database().store.write_bytes(bytes.data(), kTestBlock + first, count,
                                      false);
  }
  // What `action` prints on stderr with the diagnostic mask set to `mask`.
  template <typename Action>
  std::string diagnostics_of(std::uint32_t mask, Action&& action) {
    mdb::diagnostic_mask().set(mask);
    const std::string lines = stderr_of(action);
    mdb::diagnostic_mask().set(0);
    return lines;
  }

 private:
  void open_fresh() {
    open_mdb();
    mdb::reset_buffer_cache();
    mdb::reset_allocator();
  }
};

// A block image made of pieces, each {length, placeholder}, back to back.
struct Piece {
  std::uint32_t length;
  bool placeholder;
};
inline std::vector<std::uint8_t> block_of_pieces(
    const std::vector<Piece>& pieces) {
  std::vector<std::uint8_t> block(kTestBlock, 0xAB);
  std::uint32_t offset = 0;
  for (const Piece& p : pieces) {
    support::store_be32(&block[offset], p.length | (p.placeholder ? 1 : 0));
    offset += p.length;
  }
  EXPECT_EQ(offset, kTestBlock);
  return block;
}

}  // namespace mdb_testing
