// Test fixture of the transaction layer: a real MDB file with an external
// journal in a temporary directory, opened the way every user opens it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/replay.h"
#include "server/database/mdb/test_helpers.h"
#include "server/database/support/clock.h"
#include "server/database/support/test_util.h"

namespace mdb_testing {

inline constexpr std::uint32_t kTestBlock = 8192;

class JournalFixture : public testing::Test {
 protected:
  void SetUp() override { mdb::diagnostic_mask().set(0); }
  void TearDown() override {
    shut_down();
    mdb::diagnostic_mask().set(support::kDefaultDiagnosticMask);
  }

  // Creates the MDB with a fresh external journal of `journal_length` bytes.
  void create_mdb(std::uint32_t journal_length) {
    make_zero_file(mdb_path, 385 * std::uint64_t{kTestBlock});
    mdb::open_store(mdb_path);
    mdb::create_header(kTestBlock, mdb::journal_external, journal_path, 0, 0,
                       {257, 258}, 1, 257);
    make_zero_file(journal_path, journal_length);
    mdb::open_journal(journal_path, 0, 0, true);
    mdb::init_journal_header();
    shut_down();
  }
  // Opens the MDB and its journal, then replays the journal.
  void open_mdb() {
    mdb::open_store(mdb_path);
    mdb::open_database();
    mdb::replay_at_open();
  }
  // Closes journal and store, dropping open transactions like a crash.
  void shut_down() {
    mdb::database().transaction = {};
    mdb::close_journal();
    mdb::close_store();
  }
  // Keeps asynchronous commits from syncing and checkpointing.
  void hold_checkpoints() {
    state().last_sync_second = support::now().seconds + 1000;
  }
  std::vector<std::uint8_t> mdb_bytes(std::uint64_t offset, std::size_t n) {
    const std::vector<std::uint8_t> all = testing_util::read_file(mdb_path);
    return {all.begin() + offset, all.begin() + offset + n};
  }
  const mdb::JournalCursor& cursor() { return mdb::database().journal.cursor; }
  mdb::TransactionState& state() { return mdb::database().transaction; }

  testing_util::TempDir dir;
  const std::string mdb_path = dir.file("main.odb");
  const std::string journal_path = dir.file("main.odbj");
};

// `count` bytes seed, seed + 1, ...
inline std::vector<std::uint8_t> pattern(std::size_t count, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<std::uint8_t>(seed + i);
  }
  return bytes;
}

}  // namespace mdb_testing
