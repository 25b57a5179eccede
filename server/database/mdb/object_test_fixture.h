// Test fixture of the object layer: a real MDB file with an external
// journal, created and then opened and started the way every user does.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "server/database/mdb/buffer_cache.h"
#include "server/database/mdb/journal_test_fixture.h"
#include "server/database/mdb/object_pieces.h"
#include "server/database/mdb/object_store.h"

namespace mdb_testing {

// (offset, header) of each piece of a block.
using Pieces = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

class ObjectFixture : public JournalFixture {
 protected:
  void SetUp() override {
    JournalFixture::SetUp();
    create_mdb(1 << 20);
    start();
  }
  // Opens the MDB and its journal and starts it.
  void start() {
    mdb::open_store(mdb_path);
    mdb::open_database();
    mdb::start_database();
  }
  // The pieces of `block` as a private copy shows them.
  Pieces pieces(std::uint32_t block) { return pieces(mdb::private_copy(block)); }
  // The pieces of a block copy.
  static Pieces pieces(const mdb::BlockCopy& copy) {
    Pieces result;
    for (std::uint32_t at = 0; at < kTestBlock;) {
      const std::uint32_t header = mdb::piece_header(copy.data(), at);
      result.emplace_back(at, header);
      if (header < 2) break;
      at += mdb::piece_length(header);
    }
    return result;
  }
  std::uint32_t journal_position() { return cursor().write_position; }
};

}  // namespace mdb_testing
