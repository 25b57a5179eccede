#include "server/database/mdb/object_store.h"

#include <gtest/gtest.h>

#include "server/database/mdb/journal_entries.h"
#include "server/database/mdb/object_test_fixture.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using namespace mdb_testing;

using ObjectStoreTest = ObjectFixture;

TEST_F(ObjectStoreTest, StartReplaysTheJournalBeforeReadingTheMap) {
  // Committed but only in the journal when the process "crashes".
  hold_checkpoints();
  EXPECT_EQ(allocate_object(36), (ObjectRef{257, 8156}));
  EXPECT_EQ(mdb_bytes(257 * std::uint64_t{kTestBlock}, 4),
            std::vector<std::uint8_t>(4, 0));
  shut_down();

  diagnostic_mask().set(kDiagInfo);
  const std::string statistics = stderr_of([&] { start(); });
  // The map scan already sees the replayed state of block 257: the map
  // covers 256 map blocks of 8192 entries each.
  EXPECT_NE(statistics.find("Empty blocks: 2097151\nUsed blocks: 1\n"),
            std::string::npos) << statistics;
  EXPECT_EQ(mdb_bytes(257 * std::uint64_t{kTestBlock}, 4),
            (std::vector<std::uint8_t>{0, 0, 0x1F, 0xDD}));
}

TEST_F(ObjectStoreTest, AllocationSplitsFromTheBackAndReusesExactFits) {
  EXPECT_EQ(allocate_object(36), (ObjectRef{257, 8156}));
  EXPECT_EQ(pieces(257), (Pieces{{0, 8156 | 1}, {8156, 36}}));
  EXPECT_EQ(query_block(257), block_used);

  // The placeholder at 0 fits exactly: it becomes the object in place and
  // is no longer free, so the next allocation cannot get it again.
  ObjectRef exact;
  diagnostic_mask().set(kDiagInfo);
  EXPECT_EQ(stderr_of([&] { exact = allocate_object(8156); }),
            " - size matches request, returning untouched\n");
  diagnostic_mask().set(0);
  EXPECT_EQ(exact, (ObjectRef{257, 0}));
  EXPECT_EQ(pieces(257), (Pieces{{0, 8156}, {8156, 36}}));
  EXPECT_EQ(load_object(exact).offset, 0u);

  EXPECT_EQ(allocate_object(36), (ObjectRef{258, 8156}));
  EXPECT_EQ(query_block(257), block_full);
}

TEST_F(ObjectStoreTest, SplitRefusesSizesThatCannotBeCarved) {
  allocate_object(36);
  dobj free_space{257, 0, private_copy(257)};
  begin_transaction();
  const std::uint32_t position = journal_position();
  expect_error<error_internal>([&] { split(free_space, 8200); },
                               "Attempted to split undersized object");
  // A 2-byte remainder could not hold its own header.
  expect_error<error_internal>([&] { split(free_space, 8154); },
                               "Attempted to split undersized object");
  expect_error<error_internal>([&] { split(free_space, 37); },
                               "Attempted to allocate an odd-sized object");
  expect_error<error_internal>(
      [&] { split(free_space, 0); },
      "Attempted to allocate an object smaller than its header");
  EXPECT_EQ(journal_position(), position);
  EXPECT_EQ(free_space.offset, 0u);
  end_transaction(true);
  EXPECT_EQ(pieces(257), (Pieces{{0, 8156 | 1}, {8156, 36}}));
}

TEST_F(ObjectStoreTest, FreeMergesWithPlaceholdersOnBothSides) {
  const ObjectRef a = allocate_object(36);
  const ObjectRef b = allocate_object(100);
  const ObjectRef x = allocate_object(100);
  const ObjectRef y = allocate_object(100);
  ASSERT_EQ(pieces(257), (Pieces{{0, 7857},
                                 {7856, 100},
                                 {7956, 100},
                                 {8056, 100},
                                 {8156, 36}}));
  begin_transaction();
  dobj object = load_object(b);  // no free neighbour
  free_object(object);
  object = load_object(y);  // merges into the placeholder before it
  free_object(object);
  EXPECT_EQ(pieces(257),
            (Pieces{{0, 7957}, {7956, 100}, {8056, 101}, {8156, 36}}));

  object = load_object(x);
  const std::uint32_t position = journal_position();
  free_object(object);
  // One update: the header of the first placeholder, now covering all
  // three pieces; the block stays used, so the map is not touched.
  EXPECT_EQ(journal_position(), position + update_entry_size(4));
  const UpdateEntry update = decode_tupd(database().journal.entry_at(position));
  EXPECT_EQ(update.target, 257 * std::uint64_t{kTestBlock});
  EXPECT_EQ(support::load_be32(update.data), 8157u);
  EXPECT_EQ(pieces(257), (Pieces{{0, 8157}, {8156, 36}}));
  EXPECT_EQ(query_block(257), block_used);

  // The last object: the block is one placeholder again, and empty.
  object = load_object(a);
  free_object(object);
  end_transaction(true);
  EXPECT_EQ(pieces(257), (Pieces{{0, kTestBlock | 1}}));
  EXPECT_EQ(query_block(257), block_empty);
}

TEST_F(ObjectStoreTest, ResizeMovesTheObjectOnlyWhenItsLengthChanges) {
  allocate_object(36);
  begin_transaction();
  dobj object = load_object(allocate_object(100));
  const std::uint32_t position = journal_position();
  resize_object(object, 100);
  EXPECT_EQ(journal_position(), position);

  // Freed, then carved again from the merged placeholder in its block; the
  // object's own bytes are left to the caller, which writes them all.
  resize_object(object, 36);
  EXPECT_EQ(object.block, 257u);
  EXPECT_EQ(pieces(object.data), (Pieces{{0, 8121}, {8120, 36}, {8156, 36}}));

  // Only an empty block's single placeholder is left, and it is too short.
  expect_error<error_internal>(
      [&] { resize_object(object, kTestBlock + 4); },
      "Located a block of 8192 bytes when we were looking for 8196 bytes");
}

TEST_F(ObjectStoreTest, LoadRefusesNullPlaceholdersAndStrayOffsets) {
  allocate_object(36);
  expect_error<error_nullobj>([] { load_object(ObjectRef{}); },
                              "Attempt to read null object");
  expect_error<error_need_repair>([] { load_object(ObjectRef{257, 0}); },
                                  "Attempt to load placeholder");
  expect_error<error_need_repair>(
      [] { load_object(ObjectRef{257, 8190}); },
      "Object 257:8190 does not lie inside its block");
  EXPECT_EQ(piece_header(load_object(ObjectRef{257, 8156})), 36u);
}

}  // namespace
}  // namespace mdb
