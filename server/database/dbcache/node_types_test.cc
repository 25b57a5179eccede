#include "server/database/dbcache/node_types.h"

#include <gtest/gtest.h>

namespace dbcache {
namespace {

// The objects that carry a node type, and so the record of the property, are checked end to end
// with the tool; this checks the name table.
TEST(NodeTypesTest, NameTable) {
  ASSERT_EQ(node_type_names.size(), 95u);
  EXPECT_EQ(node_type_names[0], "NodeInfoGroup");
  EXPECT_EQ(node_type_names[13], ".");
  EXPECT_EQ(node_type_names[94], "GraphicalViewNode");
  for (std::string_view name : node_type_names) EXPECT_FALSE(name.empty());
}

}  // namespace
}  // namespace dbcache
