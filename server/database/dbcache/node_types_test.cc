#include "server/database/dbcache/node_types.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "server/database/dbcache/node_type_property.h"
#include "server/database/mdb/object_records.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/hash.h"

namespace dbcache {
namespace {

TEST(NodeTypesTest, NameTable) {
  ASSERT_EQ(node_type_names.size(), 95u);
  EXPECT_EQ(node_type_names[0], "NodeInfoGroup");
  EXPECT_EQ(node_type_names[3], "Domain");
  EXPECT_EQ(node_type_names[8], "User");
  EXPECT_EQ(node_type_names[13], ".");
  EXPECT_EQ(node_type_names[50], "NetworkScan");
  EXPECT_EQ(node_type_names[71], "NodeClassCheckAccumulationConfig");
  EXPECT_EQ(node_type_names[94], "GraphicalViewNode");
  for (std::string_view name : node_type_names) EXPECT_FALSE(name.empty());
}

TEST(NodeTypesTest, NodeTypeIsAnEnumPropertyWithId3) {
  std::vector<std::uint8_t> record(16);
  node_type_property(node_type_t::user).serialize(record.data());
  EXPECT_EQ(support::load_be32(record.data()), 3u);
  EXPECT_EQ(support::load_be32(record.data() + 8), 5u);
  EXPECT_EQ(support::load_be32(record.data() + 12), 2u);
}

// The administrator account as the initial content assembles it: records
// in the order added, 416 bytes of them, node type read back as user.
TEST(NodeTypesTest, AccountObjectReadsBackInWrittenOrder) {
  using Word1 = mdb::PropertySomething32<unsigned int, 1>;
  using Word9 = mdb::PropertySomething32<unsigned int, 9>;
  mdb::SerializationCache cache(8192);
  cache.add(mdb::PropertyNodeId(0, mdb::NodeId{0, 6}));
  cache.add(mdb::PropertyNodeId(2, mdb::NodeId{0, 1}));
  cache.add(Word1(1, 0));
  cache.add(node_type_property(node_type_t::user));
  cache.add(mdb::PropertyString(51, "admin"));
  cache.add(mdb::PropertyString(901, security::md5_hex("qorvant")));
  const std::vector<std::uint32_t> bools = {902, 913, 914, 903, 904, 905, 906,
                                            907, 908, 909, 910, 911, 912};
  for (std::uint32_t id : bools) cache.add(mdb::PropertyBool(id, true));
  cache.add(mdb::PropertyString(900, "Administrator account"));
  cache.add(Word9(2601, 1));
  ASSERT_EQ(cache.used(), 416u);

  std::vector<std::uint8_t> object(420);
  support::store_be32(object.data(), 420);
  cache.copy_out(object.data() + 4);

  std::vector<std::uint32_t> ids;
  for (const auto& record : mdb::object_records(object)) {
    ids.push_back(record.id);
  }
  std::vector<std::uint32_t> expected = {0, 2, 1, 3, 51, 901};
  expected.insert(expected.end(), bools.begin(), bools.end());
  expected.insert(expected.end(), {900, 2601});
  EXPECT_EQ(ids, expected);

  NodeTypeProperty type;
  type.deserialize(mdb::find_record(object, kNodeTypePropertyId)->bytes);
  EXPECT_EQ(type.value(), node_type_t::user);

  mdb::PropertyString digest;
  digest.deserialize(mdb::find_record(object, 901)->bytes);
  ASSERT_EQ(digest.value().size(), 32u);
  EXPECT_EQ(digest.value().find_first_not_of("0123456789abcdef"),
            std::string::npos);
}

}  // namespace
}  // namespace dbcache
