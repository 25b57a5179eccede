// Objects in 8192-byte blocks: where the first objects go, what a free
// logs, the sizes and references that are refused, and writing objects
// from the serialization cache. The model test covers placement at large.
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/object_store.h"

#include <gtest/gtest.h>

#include "server/database/mdb/journal_format.h"
#include "server/database/mdb/mdb_test_fixture.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/property.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using namespace mdb_testing;

using ObjectTest = StartedMdb;

TEST_F(ObjectTest, ObjectsAreCarvedFromTheBackAndFreesMerge) {
  EXPECT_EQ(allocate_object(36), (ObjectRef{257, 8156}));
  // A placeholder that fits exactly becomes the object in place.
  diagnostic_mask().set(kDiagInfo);
  EXPECT_EQ(stderr_of([&] {
              EXPECT_EQ(allocate_object(8156), (ObjectRef{257, 0}));
            }),
            " - size matches request, returning untouched\n");
  diagnostic_mask().set(0);
  EXPECT_EQ(allocate_object(36), (ObjectRef{258, 8156}));
  EXPECT_EQ(query_block(257), block_full);

  const ObjectRef x = allocate_object(100);
  const ObjectRef y = allocate_object(100);
  begin_transaction();
  dobj object = load_object(y);
  free_object(object);
  object = load_object(x);
  const std::uint32_t position = journal_position();
  free_object(object);
  // One update: the header of the placeholder before, which now covers
  // both objects and the placeholder after them.
  EXPECT_EQ(journal_position(), position + update_entry_size(4));
  EXPECT_EQ(support::load_be32(decode_tupd(database().journal.entry_at(position)).data), 8157u);
}

TEST_F(ObjectTest, RefusedSizesAndReferences) {
  allocate_object(36);
  dobj free_space{257, 0, private_copy(257)};
  begin_transaction();
  expect_error<error_internal>([&] { split(free_space, 8200); },
                               "Attempted to split undersized object");
  // A 2-byte remainder could not hold its own header.
  expect_error<error_internal>([&] { split(free_space, 8154); },
                               "Attempted to split undersized object");
  expect_error<error_internal>([&] { split(free_space, 37); },
                               "Attempted to allocate an odd-sized object");
  expect_error<error_internal>([&] { split(free_space, 0); },
                               "Attempted to allocate an object smaller than its header");
  EXPECT_EQ(pieces(257), (Pieces{{0, 8156 | 1}, {8156, 36}}));

  expect_error<error_nullobj>([] { load_object(ObjectRef{}); }, "Attempt to read null object");
  expect_error<error_need_repair>(
      [] {
        load_object(ObjectRef{257, 0});
      },
      "Attempt to load placeholder");
  expect_error<error_need_repair>(
      [] {
        load_object(ObjectRef{257, 8190});
      },
      "Object 257:8190 does not lie inside its block");
  // Only an empty block's single placeholder is left, and it is too short.
  dobj object = load_object({257, 8156});
  expect_error<error_internal>([&] { resize_object(object, kTestBlock + 4); },
                               "Located a block of 8192 bytes when we were looking for 8196 bytes");
}

// Assembles the first object of a new database with `value` in 2901 and,
// when `name` is not empty, a name.
void assemble(std::uint32_t value, const std::string& name = {}) {
  SerializationCache& cache = serialization_cache();
  cache.reset();
  cache.add(PropertyNodeId(0, NodeId{0, 4}));
  cache.add(PropertySomething32<unsigned int, 1>(2901, value));
  if (!name.empty()) cache.add(PropertyString(51, name));
}

TEST_F(ObjectTest, WritesCreateAndMoveWhenLonger) {
  init_indexes();  // roots in blocks 257 and 258
  assemble(12);
  const ObjectRef ref = write_object({});
  EXPECT_EQ(ref, (ObjectRef{259, kTestBlock - 44}));
  // Longer: freed (emptying its block) and carved again from its back.
  assemble(13, "Root domain");
  EXPECT_EQ(write_object(ref), (ObjectRef{259, kTestBlock - 68}));
  EXPECT_EQ(pieces(259), (Pieces{{0, (kTestBlock - 68) | 1}, {kTestBlock - 68, 68}}));

  // An object filling the whole cache does not fit in a block; the
  // allocator had already made the empty block an object block.
  SerializationCache& cache = serialization_cache();
  cache.reset();
  for (std::uint32_t id = 0; id < kTestBlock / 16; ++id) {
    cache.add(PropertySomething32<unsigned int, 1>(1000 + id, id));
  }
  expect_error<error_internal>([] { write_object({}); }, "Attempted to split undersized object");
  EXPECT_EQ(query_block(last_good_block()), block_used);
  EXPECT_EQ(pieces(last_good_block()), (Pieces{{0, kTestBlock | 1}}));
}

}  // namespace
}  // namespace mdb
