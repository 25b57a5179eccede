#include <gtest/gtest.h>

#include <algorithm>
#include <span>

#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/object_store.h"
#include "server/database/mdb/object_test_fixture.h"
#include "server/database/mdb/property.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using namespace mdb_testing;

constexpr ObjectRef kNewObject{0xFFFFFFFF, 0xFFFFFFFF};

class ObjectWriteTest : public ObjectFixture {
 protected:
  void SetUp() override {
    ObjectFixture::SetUp();
    init_indexes();  // roots in blocks 257 and 258
  }
  // Assembles the first object of a new database with `value` in 2901 and,
  // when `name` is not empty, a name.
  static void assemble(std::uint32_t value, const std::string& name = {}) {
    SerializationCache& cache = serialization_cache();
    cache.reset();
    cache.add(PropertyNodeId(0, NodeId{0, 4}));
    cache.add(PropertySomething32<unsigned int, 1>(2901, value));
    if (!name.empty()) cache.add(PropertyString(51, name));
  }
  // The stored object is the length word and the cache's records.
  static void expect_stored(ObjectRef ref) {
    const dobj object = load_object(ref);
    const std::span<const std::uint8_t> records = serialization_cache().records();
    EXPECT_EQ(piece_header(object), records.size() + 4);
    EXPECT_TRUE(std::equal(records.begin(), records.end(),
                           object.data.begin() + ref.offset + 4));
  }
};

TEST_F(ObjectWriteTest, CreatesRewritesInPlaceAndMovesObjects) {
  assemble(12);
  const ObjectRef ref = write_object(kNewObject);
  EXPECT_EQ(ref, (ObjectRef{259, kTestBlock - 44}));

  // Same bytes again: the transaction has nothing to log.
  const std::uint32_t position = journal_position();
  EXPECT_EQ(write_object(ref), ref);
  EXPECT_EQ(journal_position(), position);

  // Same length, other value: rewritten in place.
  assemble(13);
  EXPECT_EQ(write_object(ref), ref);
  EXPECT_GT(journal_position(), position);
  expect_stored(ref);

  // Longer: the object is freed (emptying its block) and carved again from
  // the back of the same block.
  assemble(13, "Root domain");
  const ObjectRef moved = write_object(ref);
  EXPECT_EQ(moved, (ObjectRef{259, kTestBlock - 68}));
  expect_stored(moved);
  EXPECT_EQ(pieces(259), (Pieces{{0, (kTestBlock - 68) | 1},
                                 {kTestBlock - 68, 68}}));
  EXPECT_EQ(query_block(259), block_used);

  // Committed objects survive a restart of the database.
  const std::vector<std::uint8_t> before = load_object(moved).data;
  shut_down();
  start();
  EXPECT_EQ(load_object(moved).data, before);
}

TEST_F(ObjectWriteTest, AnObjectFillingTheWholeCacheDoesNotFit) {
  SerializationCache& cache = serialization_cache();
  cache.reset();
  for (std::uint32_t id = 0; id < kTestBlock / 16; ++id) {
    cache.add(PropertySomething32<unsigned int, 1>(1000 + id, id));
  }
  ASSERT_EQ(cache.used(), kTestBlock);
  expect_error<error_internal>([] { write_object(kNewObject); },
                               "Attempted to split undersized object");
  // The allocator had already made the empty block an object block.
  EXPECT_EQ(query_block(259), block_used);
  EXPECT_EQ(pieces(259), (Pieces{{0, kTestBlock | 1}}));
}

}  // namespace
}  // namespace mdb
