#include "server/database/mdb/object_records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "server/database/mdb/property.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/mdb/test_helpers.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

// An object of three records (ids 10, 5, 0; 68 bytes) whose length word has
// bit 0 set, followed by 12 bytes that belong to the next piece.
std::vector<std::uint8_t> sample_object() {
  SerializationCache cache(8192);
  cache.add(PropertyString(10, "first"));
  cache.add(PropertyBool(5, true));
  cache.add(PropertyNodeId(0, NodeId{0, 9}));
  std::vector<std::uint8_t> object(cache.used() + 4 + 12, 0xEE);
  support::store_be32(object.data(), (cache.used() + 4) | 1);
  cache.copy_out(object.data() + 4);
  return object;
}

TEST(ObjectRecordsTest, WalksRecordsInStoredOrder) {
  const std::vector<std::uint8_t> object = sample_object();
  EXPECT_EQ(object_length(object.data()), 68u);
  const std::vector<PropertyRecord> records = object_records(object);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].id, 10u);
  EXPECT_EQ(records[0].bytes.size(), 24u);
  EXPECT_EQ(records[1].id, 5u);
  EXPECT_EQ(records[1].type_word, 6u);
  EXPECT_EQ(records[2].id, 0u);
  EXPECT_EQ(records[2].bytes.data(), object.data() + 44);

  PropertyNodeId node;
  node.deserialize(find_record(object, 0)->bytes);
  EXPECT_EQ(node.value(), (NodeId{0, 9}));
  EXPECT_FALSE(find_record(object, 77).has_value());

  int visited = 0;
  for_each_record(object, [&visited](const PropertyRecord&) {
    return ++visited < 2;
  });
  EXPECT_EQ(visited, 2);
}

TEST(ObjectRecordsTest, RefusesWordsThatLeaveTheObject) {
  std::vector<std::uint8_t> object = sample_object();
  const auto expect_bad = [&object](const std::string& text) {
    mdb_testing::expect_error<error_need_repair>(
        [&object] { object_records(object); }, text);
  };
  support::store_be32(object.data() + 28 + 4, 0);  // second record's size
  expect_bad("Bad property record size 0 at object offset 28");
  support::store_be32(object.data() + 28 + 4, 48);  // runs past length 68
  expect_bad("Bad property record size 48 at object offset 28");
  support::store_be32(object.data(), 200);
  expect_bad("Bad object length 200 in 80 bytes");
  support::store_be32(object.data(), 2);
  expect_bad("Bad object length 2 in 80 bytes");
  // A length that leaves less than a header after the last record.
  object = sample_object();
  support::store_be32(object.data(), 68 + 8);
  expect_bad("Bad property record size 0 at object offset 68");
}

}  // namespace
}  // namespace mdb
