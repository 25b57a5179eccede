// The MDB backing store, the header and its checks at open, the mapped
// journal file, its halves and the byte layouts of the journal entries, on
// real files. The creation tests check the bytes of whole new headers.

#include <cstring>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "server/database/mdb/backing_store.h"
#include "server/database/mdb/format.h"
#include "server/database/mdb/journal_file.h"
#include "server/database/mdb/journal_format.h"
#include "server/database/mdb/mdb_test_fixture.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/support/test_util.h"

namespace mdb {
namespace {

using namespace mdb_testing;
using Bytes = std::vector<std::uint8_t>;

TEST(BackingStoreTest, OpenAndGrowInWholeZeroBlocks) {
  testing_util::TempDir dir;
  BackingStore store;
  const std::string missing = dir.file("missing.odb");
  expect_error<error_open>([&] { store.open(missing); },
                           "Cannot open database for read/write in \"" + missing + "\"");

  // Growth adds about a fifth, rounded down to whole blocks, at least one
  // block, and at least up to the block asked for.
  const struct {
    std::uint64_t initial;
    std::uint32_t block;
    std::uint64_t expected;
  } cases[] = {
      {3'153'920, 385, 3'776'512},
      {100'000, 0, 116'384},
      {40'000, 0, 48'192},
      {8192, 20, 21 * 8192},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file("store");
    testing_util::write_file(path, Bytes(c.initial, 0x5A));
    store.open(path);
    EXPECT_EQ(stderr_of([&] { store.grow(c.block); }),
              "Attempting to grow MDB from " + std::to_string(c.initial) + " bytes to " +
                  std::to_string(c.expected) + " bytes\n");
    EXPECT_EQ(store.length(), c.expected);
    store.close();
    store.close();  // closing a closed store does nothing
    Bytes expected(c.expected, 0);
    std::fill(expected.begin(), expected.begin() + c.initial, 0x5A);
    EXPECT_EQ(testing_util::read_file(path), expected);
  }
}

TEST(BackingStoreTest, ReadsAndWritesPastTheEndAreRefusedUntouched) {
  testing_util::TempDir dir;
  const std::string path = dir.file("store");
  const Bytes content(1000, 0x11);
  testing_util::write_file(path, content);
  BackingStore store;
  store.open(path);
  Bytes buffer(1024, 0xEE);
  const std::string read_text = "Read beyond end of object backing store attempted";
  expect_error<error_range>([&] { store.read_bytes(buffer.data(), 0, 1024); }, read_text);
  expect_error<error_range>([&] { store.read_bytes(buffer.data(), ~std::uint64_t{0}, 2); },
                            read_text);
  EXPECT_EQ(buffer, Bytes(1024, 0xEE));
  expect_error<error_range>([&] { store.write_bytes(buffer.data(), 990, 11, false); },
                            "Write beyond end of object backing store attempted");
  EXPECT_EQ(testing_util::read_file(path), content);
  // Exactly up to the end is allowed.
  store.read_bytes(buffer.data(), 990, 10);
  EXPECT_EQ(store.write_bytes(buffer.data(), 0, 10, false), 10u);
  try {
    store.read_blocks(buffer.data(), 0, 1);
    ADD_FAILURE() << "short block read accepted";
  } catch (const error_io& e) {
    EXPECT_EQ(e.description_text().rfind("Could not block-read: \"", 0), 0u);
  }
}

class HeaderTest : public MdbFixture {
 protected:
  static HeaderImage image(const std::string& journal, std::uint32_t block_size) {
    return encode_header_image({block_size, journal_external, journal, 0, 0, {257, 258}, 1, 257});
  }
  // Writes `header` over block 0 and opens the database.
  std::uint32_t open_with(const HeaderImage& header) {
    Bytes bytes = testing_util::read_file(mdb_path);
    std::copy(header.begin(), header.end(), bytes.begin());
    testing_util::write_file(mdb_path, bytes);
    open_store(mdb_path);
    return open_database();
  }
};

TEST_F(HeaderTest, JournalPathFieldShortFilesAndMissingJournals) {
  const HeaderImage eight = image("abcd.jnl", kTestBlock);
  EXPECT_EQ(support::load_be32(&eight[16]), 8u);
  const HeaderImage full = image(std::string(976, 'p'), kTestBlock);
  EXPECT_EQ(decode_header_image(full).journal_path, std::string(976, 'p'));
  expect_error<error_internal>([] { image(std::string(977, 'p'), kTestBlock); },
                               "Too long journal path");

  testing_util::write_file(mdb_path, Bytes(1000, 0));
  open_store(mdb_path);
  expect_error<error_range>([] { open_database(); },
                            "Read beyond end of object backing store attempted");
  close_store();
  create_mdb();
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

TEST_F(HeaderTest, OpenRefusesDamagedFields) {
  create_mdb();
  diagnostic_mask().set(support::kDefaultDiagnosticMask);
  const std::string not_mdb = "MDB file does not look like a Vexmon Meta Database";
  const struct {
    std::uint32_t offset, value;
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
    HeaderImage header = image(journal_path, kTestBlock);
    support::store_be32(&header[c.offset], c.value);
    const auto open = [&] { open_with(header); };
    const std::string err = stderr_of([&] {
      if (c.text == not_mdb)
        expect_error<error_fubar>(open, c.text);
      else
        expect_error<error_unsupported>(open, c.text);
    });
    if (c.offset == 8) {
      // The block size is announced before it is checked.
      EXPECT_EQ(err, "Using " + std::to_string(c.value) + " byte MDB blocks\n");
    }
    EXPECT_FALSE(header_loaded());
    shut_down();
  }
  // Any power of two from 1024 to 65536 is a block size.
  stderr_of([&] { EXPECT_EQ(open_with(image(journal_path, 4096)), 257u); });
  EXPECT_EQ(block_offset(3), 12288u);
}

TEST(JournalLayoutTest, HalfBoundariesEntrySizesAndEntryBytes) {
  const auto bounds = [](std::uint32_t length, std::uint32_t half) {
    const HalfBounds b = half_bounds(length, half);
    return std::to_string(b.start) + ".." + std::to_string(b.usable_end);
  };
  EXPECT_EQ(bounds(8'388'608, 0), "48..4194296");
  EXPECT_EQ(bounds(8'388'608, 1), "4194304..8388600");
  EXPECT_EQ(bounds(1000, 0), "48..488");
  EXPECT_EQ(bounds(1000, 1), "504..992");
  // A region too small for entries has no usable space, not a huge one.
  EXPECT_EQ(half_bounds(10, 0).usable_end, 0u);
  EXPECT_EQ(update_entry_size(4), 24u);
  EXPECT_EQ(update_entry_size(5), 32u);
  EXPECT_EQ(update_entry_size(0xFFFFFFFFu), 0x100000018u);  // no overflow

  Bytes buf(64, 0xCC);
  encode_tbeg(buf.data(), 0x0102030405060708ull);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 16),
            (Bytes{'T', 'B', 'E', 'G', 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));

  std::fill(buf.begin(), buf.end(), 0xCC);
  const std::uint8_t data[5] = {9, 8, 7, 6, 5};
  encode_tupd(buf.data(), data, 5, 0x1122334455ull);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 33),
            (Bytes{'T', 'U', 'P', 'D', 0, 0, 0, 5, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0,
                   0,   0,   0,   9,   8, 7, 6, 5, 0, 0, 0, 0,    0,    0,    0,    0xCC}));
  const UpdateEntry update = decode_tupd(buf.data());
  EXPECT_EQ(update.data_length, 5u);
  EXPECT_EQ(update.target, 0x1122334455ull);
}

TEST(JournalFileTest, FreshHeaderBoundsAndRefusedRegions) {
  testing_util::TempDir dir;
  const std::string path = dir.file("main.odbj");
  make_zero_file(path, 1000);
  JournalFile journal;
  EXPECT_EQ(stderr_of([&] { journal.open(path, 0, 0, true); }),
            "Will use 1000 as journal length\nJournal: [0 : 1000)\n");
  journal.init_header();
  journal.cursor = {488, 0, 1};
  EXPECT_EQ(journal.free_space(), 0u);
  journal.cursor = {504, 1, 2};
  EXPECT_EQ(journal.free_space(), 488u);
  journal.cursor = {96, 1, 1};
  expect_error<error_internal>([&] { journal.free_space(); },
                               "Writing in wrong half of journal (pos=96)");
  expect_error<error_range>([&] { journal.index_pointer(2); }, "Invalid journal index");
  expect_error<error_range>([&] { journal.entry_at(1000); },
                            "Access beyond end of journal attempted");
  journal.close();
  EXPECT_FALSE(journal.is_mapped());
  expect_error<error_range>([&] { journal.entry_at(0); }, "Access beyond end of journal attempted");

  // A region reaching past the end of the file is not mapped: touching it would kill the process.
  // Nor is an empty file, or a missing one.
  const std::string small = dir.file("small.odb");
  make_zero_file(small, 8192);
  expect_error<error_io>([&] { journal.open(small, 8192, 8192, false); },
                         "Cannot memory map journal: Invalid argument");
  make_zero_file(dir.file("empty"), 0);
  stderr_of([&] {
    expect_error<error_io>([&] { journal.open(dir.file("empty"), 0, 0, true); },
                           "Cannot memory map journal: Invalid argument");
  });
  expect_error<error_open>(
      [&] { journal.open(dir.file("none"), 0, 0, true); },
      "Cannot open journal in \"" + dir.file("none") + "\": No such file or directory");
  EXPECT_FALSE(journal.is_mapped());
  // A region too small for the journal header is refused, not overrun.
  stderr_of([&] { journal.open(small, 0, 40, true); });
  expect_error<error_range>([&] { journal.init_header(); },
                            "Access beyond end of journal attempted");
}

}  // namespace
}  // namespace mdb
