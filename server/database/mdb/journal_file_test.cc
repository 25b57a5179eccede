#include "server/database/mdb/journal_file.h"

#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "server/database/mdb/journal_layout.h"
#include "server/database/mdb/test_helpers.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/support/metrics_table.h"
#include "server/database/support/test_util.h"

namespace mdb {
namespace {

using mdb_testing::expect_error;
using mdb_testing::make_zero_file;
using mdb_testing::stderr_of;

TEST(JournalLayoutTest, HalfBoundaries) {
  // "start..usable end" of half `half` of a journal of `length` bytes.
  const auto bounds = [](std::uint32_t length, std::uint32_t half) {
    const HalfBounds b = half_bounds(length, half);
    return std::to_string(b.start) + ".." + std::to_string(b.usable_end);
  };
  EXPECT_EQ(bounds(8'388'608, 0), "48..4194296");
  EXPECT_EQ(bounds(8'388'608, 1), "4194304..8388600");
  EXPECT_EQ(bounds(1000, 0), "48..488");
  EXPECT_EQ(bounds(1000, 1), "504..992");
  EXPECT_TRUE(position_in_half(1000, 0, 499));
  EXPECT_FALSE(position_in_half(1000, 0, 500));
  EXPECT_TRUE(position_in_half(1000, 1, 500));
  // A region too small for entries has no usable space, not a huge one.
  EXPECT_EQ(half_bounds(10, 0).usable_end, 0u);
}

TEST(JournalFileTest, FreshHeaderPointerChecksAndFreeSpace) {
  testing_util::TempDir dir;
  const std::string path = dir.file("main.odbj");
  make_zero_file(path, 1000);
  JournalFile journal;
  const std::uint64_t syncs = meter::journal_sync.count;
  EXPECT_EQ(stderr_of([&] { journal.open(path, 0, 0, true); }),
            "Will use 1000 as journal length\nJournal: [0 : 1000)\n");
  journal.init_header();
  EXPECT_EQ(meter::journal_sync.count, syncs + 1);

  const std::uint8_t* header = journal.entry_at(0);
  EXPECT_EQ(support::load_be32(header), kJournalMagic);
  EXPECT_EQ(support::load_be32(header + 4), 1u);
  for (std::uint32_t i = 0; i < 2; ++i) {
    const std::uint8_t* pointer = journal.index_pointer(i);
    EXPECT_EQ(pointer, header + 16 + 16 * i);
    EXPECT_TRUE(pointer_valid(pointer));
    EXPECT_EQ(decode_index_pointer(pointer).serial, 0u);
    EXPECT_EQ(decode_index_pointer(pointer).start, 0u);
  }

  // Damage only the CRC field: the 12 bytes are intact, the pointer is not.
  std::uint8_t* pointer1 = journal.index_pointer(1);
  pointer1[15] ^= 0x01;
  EXPECT_FALSE(pointer_valid(pointer1));
  encode_index_pointer(pointer1, {7, 504});
  EXPECT_TRUE(pointer_valid(pointer1));
  pointer1[3] ^= 0x10;  // and a damaged serial
  EXPECT_FALSE(pointer_valid(pointer1));

  // Free space of each half; a cursor outside its half is refused.
  const std::pair<JournalCursor, std::uint32_t> free[] = {
      {{48, 0, 1}, 440}, {{488, 0, 1}, 0}, {{504, 1, 2}, 488}};
  for (const auto& [cursor, space] : free) {
    journal.cursor = cursor;
    EXPECT_EQ(journal.free_space(), space);
  }
  for (const JournalCursor& cursor : {JournalCursor{600, 0, 1}, {96, 1, 1}}) {
    journal.cursor = cursor;
    expect_error<error_internal>(
        [&] { journal.free_space(); },
        "Writing in wrong half of journal (pos=" +
            std::to_string(cursor.write_position) + ")");
  }

  expect_error<error_range>([&] { journal.index_pointer(2); },
                            "Invalid journal index");
  expect_error<error_range>([&] { journal.entry_at(1000); },
                            "Access beyond end of journal attempted");
  EXPECT_EQ(journal.entry_at(999), header + 999);
  journal.close();
  expect_error<error_range>([&] { journal.entry_at(0); },
                            "Access beyond end of journal attempted");
}

TEST(JournalFileTest, WritesThroughTheMappingReachTheFile) {
  testing_util::TempDir dir;
  const std::string path = dir.file("main.odb");
  make_zero_file(path, 3 * 8192);
  JournalFile journal;
  // A region that does not start on a page boundary.
  EXPECT_EQ(stderr_of([&] { journal.open(path, 8192 + 100, 8192, false); }),
            "Journal: [8292 : 16484)\n");
  journal.init_header();
  *journal.entry_at(48) = 0xA1;
  *journal.entry_at(8191) = 0xB2;
  journal.close();
  EXPECT_FALSE(journal.is_mapped());

  const std::vector<std::uint8_t> bytes = testing_util::read_file(path);
  EXPECT_EQ(support::load_be32(&bytes[8292]), kJournalMagic);
  EXPECT_TRUE(pointer_valid(&bytes[8292 + 16]));
  EXPECT_EQ(bytes[8292 + 48], 0xA1);
  EXPECT_EQ(bytes[8292 + 8191], 0xB2);
  EXPECT_EQ(bytes[8291], 0);
  EXPECT_EQ(bytes[8292 + 8192], 0);
}

TEST(JournalFileTest, OpenFailures) {
  testing_util::TempDir dir;
  const std::string missing = dir.file("none.odbj");
  JournalFile journal;
  expect_error<error_open>([&] { journal.open(missing, 0, 0, true); },
                           "Cannot open journal in \"" + missing +
                               "\": No such file or directory");

  // A region reaching past the end of the file is not mapped: touching it
  // would kill the process.
  const std::string small = dir.file("small.odb");
  make_zero_file(small, 8192);
  expect_error<error_io>([&] { journal.open(small, 8192, 8192, false); },
                         "Cannot memory map journal: Invalid argument");
  const std::string empty = dir.file("empty.odbj");
  make_zero_file(empty, 0);
  stderr_of([&] {
    expect_error<error_io>([&] { journal.open(empty, 0, 0, true); },
                           "Cannot memory map journal: Invalid argument");
  });
  EXPECT_FALSE(journal.is_mapped());

  // A region too small for the journal header is refused, not overrun.
  stderr_of([&] { journal.open(small, 0, 40, true); });
  expect_error<error_range>([&] { journal.init_header(); },
                            "Access beyond end of journal attempted");
  expect_error<error_range>([&] { journal.index_pointer(1); },
                            "Access beyond end of journal attempted");
}

}  // namespace
}  // namespace mdb
