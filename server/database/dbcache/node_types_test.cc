#include "server/database/dbcache/node_types.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "server/database/dbcache/node_type_property.h"
#include "server/database/support/big_endian.h"

namespace dbcache {
namespace {

// The objects that carry a node type are checked end to end with the tool;
// this checks the name table and the record of the property alone.
TEST(NodeTypesTest, NameTableAndPropertyRecord) {
  ASSERT_EQ(node_type_names.size(), 95u);
  EXPECT_EQ(node_type_names[0], "NodeInfoGroup");
  EXPECT_EQ(node_type_names[13], ".");
  EXPECT_EQ(node_type_names[94], "GraphicalViewNode");
  for (std::string_view name : node_type_names) EXPECT_FALSE(name.empty());

  std::vector<std::uint8_t> record(16);
  node_type_property(node_type_t::user).serialize(record.data());
  EXPECT_EQ(support::load_be32(record.data()), 3u);
  EXPECT_EQ(support::load_be32(record.data() + 8), 5u);
  EXPECT_EQ(support::load_be32(record.data() + 12), 2u);
}

}  // namespace
}  // namespace dbcache
