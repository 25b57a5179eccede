// Test fixture of the MDB engine: a real MDB file and an external journal in
// a temporary directory, created and opened the way the engine's users do,
// with helpers that read blocks, pieces and file bytes back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/buffer_cache.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/engine_root.h"
#include "server/database/mdb/format.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_format.h"
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/index_operations.h"
#include "server/database/mdb/object_pieces.h"
#include "server/database/mdb/object_store.h"
#include "server/database/mdb/replay.h"
#include "server/database/mdb/start_database.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/test_util.h"

namespace mdb_testing {

using testing_util::expect_error;
using testing_util::make_zero_file;
using testing_util::stderr_of;

inline constexpr std::uint32_t kTestBlock = mdb::kNewBlockSize;
// The layout the creation tool makes for an external journal of `journal_bytes`, which a test may
// take shorter than whole blocks.
inline mdb::NewDatabaseLayout tool_layout(std::uint64_t journal_bytes = 8u << 20) {
  auto layout = mdb::new_database_layout(mdb::journal_external, journal_bytes, "");
  layout.journal_bytes = journal_bytes;
  return layout;
}
// 16 blocks of 1024 bytes, the roots right after the one-block map: leaves of 63 entries and nodes
// of 84 keys split after a few hundred insertions; the map block covers 1024 blocks.
inline mdb::NewDatabaseLayout small_layout(std::vector<std::uint32_t> roots = {2, 3}) {
  mdb::HeaderFields header{.block_size = 1024, .journal_path = "", .index_roots = roots};
  header.first_map_block = 1;
  header.first_data_block = 2;
  return {header, 16 * 1024, 8u << 20};
}

class MdbFixture : public testing::Test {
 protected:
  void SetUp() override { mdb::diagnostic_mask().set(0); }
  void TearDown() override {
    mdb::reset_engine();
    mdb::diagnostic_mask().set(support::kDefaultDiagnosticMask);
  }

  // Creates the MDB full of zero blocks with its header and a fresh journal.
  void create_mdb(const mdb::NewDatabaseLayout& layout = tool_layout()) {
    make_zero_file(mdb_path, layout.mdb_bytes);
    mdb::open_store(mdb_path);
    mdb::HeaderFields header = layout.header;
    header.journal_path = journal_path;
    mdb::create_header(header);
    make_zero_file(journal_path, layout.journal_bytes);
    mdb::open_journal(journal_path, 0, 0, true);
    mdb::init_journal_header();
    shut_down();
  }
  // Opens the MDB and its journal and replays the journal.
  void open_mdb() {
    mdb::open_store(mdb_path);
    mdb::open_database();
    mdb::replay_at_open();
  }
  // Opens and starts the MDB as every user does: replay, allocation map,
  // serialization cache, with nothing cached from an earlier open.
  void start() {
    mdb::open_store(mdb_path);
    mdb::open_database();
    mdb::start_database();
  }
  // Creates and starts the MDB and initialises its indexes.
  void start_with_indexes(const mdb::NewDatabaseLayout& layout) {
    create_mdb(layout);
    start();
    mdb::init_indexes();
  }
  // Closes the MDB and starts it again with its indexes.
  void reopen_with_indexes() {
    shut_down();
    start();
    mdb::init_indexes();
  }
  // Unmaps the journal and closes the store, dropping open transactions and
  // everything the engine held, like a crash.
  void shut_down() { mdb::reset_engine(); }

  // Runs `action` inside a committed transaction.
  static void in_transaction(const std::function<void()>& action) {
    mdb::begin_transaction();
    action();
    mdb::end_transaction(true);
  }
  std::vector<std::uint8_t> mdb_bytes(std::uint64_t offset, std::size_t n) {
    return testing_util::read_range(mdb_path, offset, n);
  }
  static const mdb::JournalCursor& cursor() { return mdb::database().journal.cursor; }
  static std::uint32_t journal_position() { return cursor().write_position; }

  // A fresh private copy of index block n.
  static mdb::PathElement block(std::uint32_t n) { return mdb::load_element(n); }
  static std::uint32_t root(std::uint32_t slot) { return mdb::index_roots()[slot]; }

  // (offset, header) of each piece of block n, as its private copy shows them.
  using Pieces = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  static Pieces pieces(std::uint32_t n) {
    const mdb::BlockCopy copy = mdb::private_copy(n);
    Pieces result;
    mdb::walk_pieces(copy.data(), static_cast<std::uint32_t>(copy.size()),
                     [&](std::uint32_t offset, std::uint32_t header) {
                       result.emplace_back(offset, header);
                       return true;
                     });
    return result;
  }

  testing_util::TempDir dir;
  const std::string mdb_path = dir.file("main.odb");
  const std::string journal_path = dir.file("main.odbj");
};

// The fixture on a new MDB of the tool's layout, created and started.
class StartedMdb : public MdbFixture {
 protected:
  void SetUp() override {
    MdbFixture::SetUp();
    create_mdb();
    start();
  }
};

inline std::vector<std::uint8_t> pattern(std::size_t count, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), seed);
  return bytes;
}

inline mdb::NodeId key(std::uint32_t first, std::uint32_t second = 0) { return {first, second}; }
inline mdb::ObjectRef handle(std::uint32_t block, std::uint32_t offset) { return {block, offset}; }

}  // namespace mdb_testing
