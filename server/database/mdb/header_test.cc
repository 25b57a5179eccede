#include "server/database/mdb/header.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/database/mdb/database.h"
#include "server/database/mdb/journal_layout.h"
#include "server/database/mdb/test_helpers.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/support/test_util.h"

namespace mdb {
namespace {

using mdb_testing::expect_error;
using mdb_testing::make_zero_file;
using mdb_testing::stderr_of;

constexpr std::uint32_t kBlock = 8192;

// Reads the big-endian words of `bytes` starting at `offset`.
std::vector<std::uint32_t> words(const std::vector<std::uint8_t>& bytes,
                                 std::size_t offset, std::size_t count) {
  std::vector<std::uint32_t> result;
  for (std::size_t i = 0; i < count; ++i) {
    result.push_back(support::load_be32(&bytes[offset + 4 * i]));
  }
  return result;
}

class HeaderTest : public testing::Test {
 protected:
  void TearDown() override {
    close_journal();
    close_store();
  }

  // Creates a database the way the creation sequence does and shuts it down.
  // Returns what the journal's shutdown printed.
  std::string create(journal_type_t type, std::uint32_t journal_blocks) {
    const bool internal = type == journal_internal;
    const std::uint32_t j = internal ? journal_blocks : 0;
    const std::uint32_t f = j + 1;
    make_zero_file(mdb_path, std::uint64_t{385 + j} * kBlock);
    open_store(mdb_path);
    create_header(kBlock, type, internal ? "" : journal_path, internal ? 1 : 0,
                  journal_blocks, {f + 256, f + 257}, f, f + 256);
    const std::uint64_t length = std::uint64_t{journal_blocks} * kBlock;
    if (!internal) make_zero_file(journal_path, length);
    return stderr_of([&] {
      open_journal(internal ? mdb_path : journal_path, internal ? kBlock : 0,
                   length, !internal);
      init_journal_header();
      close_database_journal();
      sync_store();
      close_store();
    });
  }

  // Writes `image` over block 0 and opens the database.
  std::uint32_t open_with(const HeaderImage& image) {
    std::vector<std::uint8_t> bytes = testing_util::read_file(mdb_path);
    std::copy(image.begin(), image.end(), bytes.begin());
    testing_util::write_file(mdb_path, bytes);
    open_store(mdb_path);
    return open_database();
  }

  static HeaderImage external_image(const std::string& path,
                                    std::uint32_t block_size = kBlock) {
    return build_header_image(
        {block_size, journal_external, path, 0, 0, {257, 258}, 1, 257});
  }

  testing_util::TempDir dir;
  std::string mdb_path = dir.file("main.odb");
  std::string journal_path = dir.file("main.odbj");
};

TEST_F(HeaderTest, ExternalJournalHeaderBytesAndReopen) {
  EXPECT_EQ(create(journal_external, 1024),
            "Journal: [0 : 8388608)\nJournal in sync. Ready for shutdown.\n");
  const std::vector<std::uint8_t> bytes = testing_util::read_file(mdb_path);
  ASSERT_EQ(bytes.size(), 3'153'920u);
  const std::uint32_t padded = (journal_path.size() + 7) / 8 * 8;
  const std::size_t a = 20 + padded;
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "VMDB");
  EXPECT_EQ(words(bytes, 4, 4),
            (std::vector<std::uint32_t>{1, 8192, 2, padded}));
  // The path, zero-padded to a multiple of eight bytes.
  EXPECT_EQ(std::string(bytes.begin() + 20, bytes.begin() + a),
            journal_path + std::string(padded - journal_path.size(), '\0'));
  EXPECT_EQ(words(bytes, a, 6),
            (std::vector<std::uint32_t>{2, 257, 258, 0, 1, 257}));
  for (std::size_t i = a + 24; i < bytes.size(); ++i)
    ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(testing_util::read_file(journal_path).size(), 8'388'608u);

  open_store(mdb_path);
  EXPECT_EQ(stderr_of([] { EXPECT_EQ(open_database(), 257u); }),
            "Using 8192 byte MDB blocks\nWill use 8388608 as journal length\n"
            "Journal: [0 : 8388608)\n");
  EXPECT_TRUE(header_loaded());
  EXPECT_EQ(index_root_count(), 2u);
  EXPECT_EQ(index_root(1), 258u);
  EXPECT_TRUE(database().journal.is_external());
  EXPECT_TRUE(block_in_file(384));
  EXPECT_FALSE(block_in_file(385));
  EXPECT_EQ(block_of(3'153'919), 384u);
}

TEST_F(HeaderTest, InternalJournalHeaderBytesAndReopen) {
  create(journal_internal, 1024);
  const std::vector<std::uint8_t> bytes = testing_util::read_file(mdb_path);
  ASSERT_EQ(bytes.size(), 1409u * kBlock);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "VMDB");
  EXPECT_EQ(words(bytes, 4, 11),
            (std::vector<std::uint32_t>{1, 8192, 1, 1, 1024, 2, 1281, 1282, 0,
                                        1025, 1281}));
  EXPECT_EQ(support::load_be32(&bytes[kBlock]), kJournalMagic);
  EXPECT_TRUE(pointer_valid(&bytes[kBlock + 16]));
  EXPECT_TRUE(pointer_valid(&bytes[kBlock + 32]));

  open_store(mdb_path);
  EXPECT_EQ(stderr_of([] { EXPECT_EQ(open_database(), 1281u); }),
            "Using 8192 byte MDB blocks\nJournal: [8192 : 8396800)\n");
  EXPECT_FALSE(database().journal.is_external());
}

TEST_F(HeaderTest, JournalPathField) {
  const HeaderImage eight = external_image("abcd.jnl");
  EXPECT_EQ(support::load_be32(&eight[16]), 8u);
  EXPECT_EQ(std::string(eight.begin() + 20, eight.begin() + 28), "abcd.jnl");
  EXPECT_EQ(support::load_be32(&eight[28]), 2u);  // N follows at once
  EXPECT_EQ(external_journal_path(eight), "abcd.jnl");

  const HeaderImage full = external_image(std::string(976, 'p'));
  EXPECT_EQ(external_journal_path(full), std::string(976, 'p'));
  EXPECT_EQ(header_first_data_block(full), 257u);
  expect_error<error_internal>(
      [] { external_image(std::string(977, 'p')); }, "Too long journal path");
}

TEST_F(HeaderTest, OpenRefusesBadHeaders) {
  create(journal_external, 2);
  const std::string not_mdb =
      "MDB file does not look like a Vexmon Meta Database";
  const struct {
    std::uint32_t offset;
    std::uint32_t value;
    std::string text;
  } cases[] = {
      {0, 0x564D4458, not_mdb},  // "VMDX"
      // A path length that points the root list past the header.
      {16, 0xFFFFFFF0u, not_mdb},
      {4, 2, "This version of Vexmon does not support version 2 databases"},
      {8, 6000, "Blocksize is 6000 bytes - but it must be a power of two"},
      {8, 0, "Blocksize is 0 bytes - but it must be a power of two"},
      {8, 8, "Blocksize is 8 bytes - but it must be at least 1024 bytes"},
      {8, 131072, "Blocksize is 131072 bytes - but it must be at most 65536 bytes"},
      {12, 3, "Unknown journal type"},
  };
  for (const auto& c : cases) {
    HeaderImage image = external_image(journal_path);
    support::store_be32(&image[c.offset], c.value);
    const auto open = [&] { open_with(image); };
    const std::string err = stderr_of([&] {
      if (c.text == not_mdb) {
        expect_error<error_fubar>(open, c.text);
      } else {
        expect_error<error_unsupported>(open, c.text);
      }
    });
    if (c.offset == 8) {
      // The block size is announced before it is checked.
      EXPECT_EQ(err, "Using " + std::to_string(c.value) + " byte MDB blocks\n");
    }
    EXPECT_FALSE(header_loaded());
    close_journal();
    close_store();
  }

  // Any power of two from 1024 to 65536 is a block size.
  stderr_of(
      [&] { EXPECT_EQ(open_with(external_image(journal_path, 4096)), 257u); });
  EXPECT_EQ(block_offset(3), 12288u);
}

TEST_F(HeaderTest, OpenOfShortFileOrMissingJournal) {
  testing_util::write_file(mdb_path, std::vector<std::uint8_t>(1000, 0));
  open_store(mdb_path);
  expect_error<error_range>(
      [] { open_database(); },
      "Read beyond end of object backing store attempted");
  close_store();
  std::filesystem::remove(mdb_path);

  create(journal_external, 2);
  std::filesystem::remove(journal_path);
  // The journal named by the caller, then the one named in the header.
  for (const std::string& path : {dir.file("elsewhere.odbj"), journal_path}) {
    open_store(mdb_path);
    stderr_of([&] {
      expect_error<error_open>(
          [&] { open_database(path == journal_path ? "" : path); },
          "Cannot open journal in \"" + path + "\": No such file or directory");
    });
    close_store();
  }
}

}  // namespace
}  // namespace mdb
