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
#include "server/database/mdb/journal_entries.h"
#include "server/database/mdb/journal_layout.h"
#include "server/database/mdb/replay.h"
#include "server/database/mdb/test_helpers.h"
#include "server/database/support/test_util.h"

namespace mdb_testing {

inline constexpr std::uint32_t kTestBlock = 8192;
inline constexpr std::uint64_t kTestMdbSize = 385 * std::uint64_t{kTestBlock};

class JournalFixture : public testing::Test {
 protected:
  void SetUp() override {
    saved_mask_ = mdb::diagnostic_mask().value();
    mdb::diagnostic_mask().set(0);
  }
  void TearDown() override {
    mdb::database().transaction = {};
    mdb::close_journal();
    mdb::close_store();
    mdb::diagnostic_mask().set(saved_mask_);
  }

  // Creates the MDB with a fresh external journal of `journal_length`
  // bytes, closes both, and leaves the files for open_mdb().
  void create_mdb(std::uint32_t journal_length) {
    make_zero_file(mdb_path, kTestMdbSize);
    mdb::open_store(mdb_path);
    mdb::create_header(kTestBlock, mdb::journal_external, journal_path, 0, 0,
                       {257, 258}, 1, 257);
    make_zero_file(journal_path, journal_length);
    mdb::open_journal(journal_path, 0, 0, true);
    mdb::init_journal_header();
    mdb::close_journal();
    mdb::close_store();
  }

  // Opens the MDB and its journal and replays the journal.
  void open_mdb() {
    mdb::open_store(mdb_path);
    mdb::open_database();
    mdb::replay_at_open();
  }

  void create_and_open(std::uint32_t journal_length) {
    create_mdb(journal_length);
    open_mdb();
  }

  // Shuts down as a user does (journal synced and closed), dropping any
  // open transaction the way a crash would.
  void shut_down() {
    mdb::database().transaction = {};
    mdb::close_journal();
    mdb::close_store();
  }

  // `length` bytes of the MDB file at `offset`, read from the file itself.
  std::vector<std::uint8_t> mdb_bytes(std::uint64_t offset,
                                      std::size_t length) const {
    const std::vector<std::uint8_t> all = testing_util::read_file(mdb_path);
    return {all.begin() + offset, all.begin() + offset + length};
  }

  const mdb::JournalCursor& cursor() const {
    return mdb::database().journal.cursor;
  }
  mdb::TransactionState& state() const { return mdb::database().transaction; }

  testing_util::TempDir dir;
  const std::string mdb_path = dir.file("main.odb");
  const std::string journal_path = dir.file("main.odbj");

 private:
  std::uint32_t saved_mask_ = 0;
};

// Bytes 0, 1, 2, ... of the given count, offset by `seed`.
inline std::vector<std::uint8_t> pattern(std::size_t count, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<std::uint8_t>(seed + i);
  }
  return bytes;
}

}  // namespace mdb_testing
