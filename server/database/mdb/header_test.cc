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

  HeaderImage external_image(std::uint32_t block_size) {
    return build_header_image({block_size, journal_external, journal_path, 0, 0,
                               {257, 258}, 1, 257});
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
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "VMDB");
  EXPECT_EQ(words(bytes, 4, 4),
            (std::vector<std::uint32_t>{1, 8192, 2, padded}));
  EXPECT_EQ(std::string(bytes.begin() + 20,
                        bytes.begin() + 20 + journal_path.size()),
            journal_path);
  for (std::size_t i = 20 + journal_path.size(); i < 20 + padded; ++i) {
    EXPECT_EQ(bytes[i], 0) << i;
  }
  const std::size_t a = 20 + padded;
  EXPECT_EQ(words(bytes, a, 6),
            (std::vector<std::uint32_t>{2, 257, 258, 0, 1, 257}));
  for (std::size_t i = a + 24; i < 3'153'920; ++i) ASSERT_EQ(bytes[i], 0) << i;

  const std::vector<std::uint8_t> journal = testing_util::read_file(journal_path);
  ASSERT_EQ(journal.size(), 8'388'608u);
  EXPECT_EQ(support::load_be32(journal.data()), kJournalMagic);

  open_store(mdb_path);
  EXPECT_EQ(stderr_of([] { EXPECT_EQ(open_database(), 257u); }),
            "Using 8192 byte MDB blocks\nWill use 8388608 as journal length\n"
            "Journal: [0 : 8388608)\n");
  EXPECT_TRUE(header_loaded());
  EXPECT_EQ(index_root_count(), 2u);
  EXPECT_EQ(index_root(0), 257u);
  EXPECT_EQ(index_root(1), 258u);
  EXPECT_TRUE(database().journal.is_external());
  EXPECT_EQ(database().journal.length(), 8'388'608u);
  EXPECT_TRUE(block_in_file(384));
  EXPECT_FALSE(block_in_file(385));
  EXPECT_EQ(block_offset(385), 3'153'920u);
  EXPECT_EQ(block_of(3'153'919), 384u);
  close_journal();
  close_store();
  EXPECT_FALSE(header_loaded());
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
  EXPECT_EQ(database().journal.length(), 8'388'608u);
  EXPECT_EQ(support::load_be32(database().journal.entry_at(0)), kJournalMagic);
}

TEST_F(HeaderTest, JournalPathField) {
  const HeaderImage eight = build_header_image(
      {8192, journal_external, "abcd.jnl", 0, 0, {257, 258}, 1, 257});
  EXPECT_EQ(support::load_be32(&eight[16]), 8u);
  EXPECT_EQ(std::string(eight.begin() + 20, eight.begin() + 28), "abcd.jnl");
  EXPECT_EQ(support::load_be32(&eight[28]), 2u);  // N follows at once
  EXPECT_EQ(external_journal_path(eight), "abcd.jnl");
  EXPECT_EQ(header_first_data_block(eight), 257u);

  const std::string longest(976, 'p');
  const HeaderImage full = build_header_image(
      {8192, journal_external, longest, 0, 0, {257, 258}, 1, 257});
  EXPECT_EQ(external_journal_path(full), longest);
  EXPECT_EQ(header_first_map_block(full), 1u);
  EXPECT_EQ(header_first_data_block(full), 257u);

  expect_error<error_internal>(
      [&] {
        build_header_image({8192, journal_external, std::string(977, 'p'), 0,
                            0, {257, 258}, 1, 257});
      },
      "Too long journal path");
}

TEST_F(HeaderTest, OpenRefusesBadHeaders) {
  create(journal_external, 2);
  const std::string bad_block = "Blocksize is ";
  struct Case {
    std::uint32_t offset;
    std::uint32_t value;
    std::string text;
  };
  const Case unsupported[] = {
      {4, 2, "This version of Vexmon does not support version 2 databases"},
      {8, 6000, "Blocksize is 6000 bytes - but it must be a power of two"},
      {8, 0, "Blocksize is 0 bytes - but it must be a power of two"},
      {12, 3, "Unknown journal type"},
  };
  for (const Case& c : unsupported) {
    HeaderImage image = external_image(8192);
    support::store_be32(&image[c.offset], c.value);
    const std::string err = stderr_of([&] {
      expect_error<error_unsupported>([&] { open_with(image); }, c.text);
    });
    if (c.offset == 8) {
      // The block size is announced before it is checked.
      EXPECT_EQ(err, "Using " + std::to_string(c.value) + " byte MDB blocks\n");
    }
    EXPECT_FALSE(header_loaded());
    close_journal();
    close_store();
  }

  HeaderImage image = external_image(8192);
  image[3] = 'X';
  expect_error<error_fubar>(
      [&] { open_with(image); },
      "MDB file does not look like a Vexmon Meta Database");
  close_store();

  // A path length that points the root list past the header is refused.
  image = external_image(8192);
  support::store_be32(&image[16], 0xFFFFFFF0u);
  stderr_of([&] {
    expect_error<error_fubar>(
        [&] { open_with(image); },
        "MDB file does not look like a Vexmon Meta Database");
  });
  close_store();

  // Any power of two is a block size.
  stderr_of([&] { EXPECT_EQ(open_with(external_image(4096)), 257u); });
  EXPECT_EQ(database().store.block_size(), 4096u);
  EXPECT_EQ(block_offset(3), 12288u);
}

TEST_F(HeaderTest, OpenOfShortFileOrMissingJournal) {
  testing_util::write_file(mdb_path, std::vector<std::uint8_t>(1000, 0));
  open_store(mdb_path);
  expect_error<error_range>([] { open_database(); },
                            "Read beyond end of object backing store attempted");
  close_store();
  std::filesystem::remove(mdb_path);

  create(journal_external, 2);
  const std::string other = dir.file("elsewhere.odbj");
  open_store(mdb_path);
  stderr_of([&] {
    expect_error<error_open>([&] { open_database(other); },
                             "Cannot open journal in \"" + other +
                                 "\": No such file or directory");
  });
  close_store();
  std::filesystem::remove(journal_path);
  open_store(mdb_path);
  stderr_of([&] {
    expect_error<error_open>([&] { open_database(); },
                             "Cannot open journal in \"" + journal_path +
                                 "\": No such file or directory");
  });
}

}  // namespace
}  // namespace mdb
