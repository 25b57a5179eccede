// Insertion into index trees on a real MDB with 1024-byte blocks (leaves
// of 63 entries, nodes of 84 keys): leaf, node and root splits, leaf links,
// the non-unique split point and the order of equal keys.
#include "server/database/mdb/index_insert.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "server/database/mdb/index_search.h"
#include "server/database/mdb/index_test_fixture.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using namespace mdb_testing;

class IndexInsertTest : public IndexFixture {
 protected:
  void SetUp() override {
    IndexFixture::SetUp();
    start(kSmallLayout);
  }
  static void insert_unique(const NodeId& k) {
    uniq_update(0, k, handle(k.first, k.second), false);
  }
  static std::vector<NodeId> node_keys(const PathElement& e) {
    std::vector<NodeId> keys;
    for (std::uint32_t i = 0; i < e.node().nkeys(); ++i) {
      keys.push_back(e.node().key(i));
    }
    return keys;
  }
};

TEST_F(IndexInsertTest, UniqueLeafSplitsKeepLinksAndSeparators) {
  insert_range(1, 64, [&](std::uint32_t i) { insert_unique(key(i)); });
  const std::uint32_t full = ptr0(root(0));
  EXPECT_EQ(block(full).leaf().nkeys(), 63u);

  // The 64th entry splits the leaf: 32 stay, 31 move, the new key joins
  // the right half, and the root gets its first separator.
  in_transaction([&] { insert_unique(key(64)); });
  PathElement r = block(root(0));
  ASSERT_EQ(r.node().nkeys(), 1u);
  const PathElement left = block(r.node().ptr0());
  const PathElement right = block(r.node().rptr(0));
  EXPECT_EQ(left.block, full);
  EXPECT_EQ(left.leaf().nkeys(), 32u);
  EXPECT_EQ(right.leaf().nkeys(), 32u);
  EXPECT_EQ(r.node().key(0), key(33));
  EXPECT_EQ(right.leaf().key(0), key(33));
  EXPECT_EQ(right.leaf().data(31), handle(64, 0));
  EXPECT_EQ(right.leaf().right(), 0u);
  EXPECT_EQ(query_block(right.block), block_index_leaf);

  // Splitting the left leaf puts the new leaf between it and its former
  // right neighbour; chain_keys checks the links both ways.
  insert_range(1, 33, [&](std::uint32_t i) { insert_unique(key(i, 1)); });
  r = block(root(0));
  ASSERT_EQ(r.node().nkeys(), 2u);
  const PathElement middle = block(r.node().rptr(0));
  EXPECT_EQ(middle.leaf().right(), right.block);
  EXPECT_EQ(r.node().key(0), middle.leaf().key(0));
  EXPECT_EQ(r.node().key(1), key(33));
  EXPECT_EQ(chain_keys(root(0)).size(), 96u);

  // The leftmost leaf has no left neighbour, the rightmost no right one.
  SearchPath first_path;
  descend_unique(root(0), key(1), first_path);
  EXPECT_FALSE(left_neighbour(first_path).has_copy());
  EXPECT_EQ(right_neighbour(first_path).block, middle.block);
  SearchPath last_path;
  descend_unique(root(0), key(64), last_path);
  EXPECT_FALSE(right_neighbour(last_path).has_copy());
  EXPECT_EQ(right_neighbour(last_path).block, kNoIndexBlock);
  EXPECT_EQ(left_neighbour(last_path).block, middle.block);
}

TEST_F(IndexInsertTest, RootSplitKeepsTheRootBlockAndAllKeys) {
  // Keys arrive out of order: multiples of 3 ascending, the rest descending.
  auto key_of = [](std::uint32_t i) {
    return key(i % 3 == 0 ? i : 100000 - i);
  };
  std::uint32_t next = 1;
  auto insert_batch = [&](std::uint32_t count) {
    insert_range(next, next + count,
                 [&](std::uint32_t i) { insert_unique(key_of(i)); });
    next += count;
  };
  while (block(root(0)).node().nkeys() < 84) insert_batch(20);
  const PathElement before = block(root(0));
  const std::vector<NodeId> separators = node_keys(before);
  while (block(root(0)).node().nkeys() == 84) insert_batch(1);

  const PathElement r = block(root(0));
  ASSERT_EQ(r.node().nkeys(), 1u);
  EXPECT_EQ(r.node().key(0), separators[42]);
  const PathElement left = block(r.node().ptr0());
  const PathElement right = block(r.node().rptr(0));
  EXPECT_EQ(query_block(left.block), block_index_node);
  EXPECT_EQ(query_block(right.block), block_index_node);
  EXPECT_EQ(left.node().ptr0(), before.node().ptr0());
  EXPECT_EQ(right.node().ptr0(), before.node().rptr(42));
  // Keys 0 .. 41 went left, 43 .. 83 right, and the new separator joined
  // the side it belongs to.
  const std::vector<NodeId> left_keys = node_keys(left);
  const std::vector<NodeId> right_keys = node_keys(right);
  EXPECT_EQ(left_keys.size() + right_keys.size(), 84u);
  EXPECT_TRUE(std::includes(left_keys.begin(), left_keys.end(),
                            separators.begin(), separators.begin() + 42));
  EXPECT_TRUE(std::includes(right_keys.begin(), right_keys.end(),
                            separators.begin() + 43, separators.end()));
  EXPECT_LT(left_keys.back(), separators[42]);
  EXPECT_GT(right_keys.front(), separators[42]);

  // Every key is in the leaf chain with its data, in order, and a lookup
  // descends two levels.
  std::vector<NodeId> expected;
  for (std::uint32_t i = 1; i < next; ++i) expected.push_back(key_of(i));
  std::sort(expected.begin(), expected.end());
  std::vector<ObjectRef> data;
  EXPECT_EQ(chain_keys(root(0), &data), expected);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(data[i], handle(expected[i].first, 0));
  }
  SearchPath path;
  const PathElement leaf = descend_unique(root(0), key_of(next - 1), path);
  EXPECT_TRUE(leaf_holds_key(leaf, key_of(next - 1)));
  EXPECT_EQ(path.size(), 2u);
  EXPECT_FALSE(leaf_holds_key(descend_unique(root(0), key(50000, 1), path),
                              key(50000, 1)));
}

TEST_F(IndexInsertTest, NonUniqueSplitStartsAtTheRunOfTheMiddleKey) {
  insert_range(0, 63, [&](std::uint32_t i) {
    const NodeId k = i < 30 ? key(i) : i <= 40 ? key(100) : key(200 + i);
    nonuniq_insert(1, k, handle(i, 0));
  });
  in_transaction([&] { nonuniq_insert(1, key(500), handle(63, 0)); });
  const PathElement r = block(root(1));
  ASSERT_EQ(r.node().nkeys(), 1u);
  EXPECT_EQ(r.node().key(0), key(100));
  const PathElement right = block(r.node().rptr(0));
  EXPECT_EQ(block(r.node().ptr0()).leaf().nkeys(), 30u);
  EXPECT_EQ(right.leaf().nkeys(), 34u);
  EXPECT_EQ(right.leaf().data(0), handle(30, 0));

  // The search for the run tries the child left of the equal separator,
  // then finds the run's first entry in the right one.
  const IndexCursor cursor = nonuniq_search(1, key(100));
  EXPECT_EQ(cursor.leaf.block, right.block);
  EXPECT_EQ(cursor.pos, 0u);
}

TEST_F(IndexInsertTest, EqualKeysKeepInsertionOrderAcrossLeaves) {
  insert_equal(1, key(9), 9000, 10);
  insert_equal(1, key(5), 5000, 10);
  insert_equal(1, key(7), 0, 150);
  // A run that starts at entry 0 is split in the middle: equal separators.
  const PathElement r = block(root(1));
  ASSERT_GE(r.node().nkeys(), 3u);
  EXPECT_EQ(r.node().key(0), key(7));
  EXPECT_EQ(r.node().key(1), key(7));
  EXPECT_EQ(chain_keys(root(1)).size(), 170u);

  // A cursor walks the run in insertion order across the leaves.
  IndexCursor cursor = nonuniq_search(1, key(7));
  for (std::uint32_t i = 0; i < 150; ++i) {
    ASSERT_FALSE(cursor.at_end());
    ASSERT_EQ(cursor.entry_data(), handle(i, 0));
    cursor_next(cursor);
  }
  EXPECT_EQ(cursor.entry_data(), handle(9000, 0));
  for (int i = 0; i < 10; ++i) cursor_next(cursor);
  EXPECT_TRUE(cursor.at_end());
}

TEST_F(IndexInsertTest, NodeInsertIntoAnEmptyNodeIgnoresThePosition) {
  in_transaction([&] {
    PathElement node = block(12);
    format_empty_node(*node.copy);
    node.pos = 5;
    node_insert_at(node, key(4, 2), 9);
    EXPECT_EQ(node.node().nkeys(), 1u);
    EXPECT_EQ(node.node().rptr(0), 9u);
    EXPECT_EQ(block(12).node().key(0), key(4, 2));  // logged
    node.pos = 3;
    EXPECT_THROW(node_insert_at(node, key(5), 10), error_internal);
    node.pos = 0;
    EXPECT_THROW(node_insert_at(node, key(5), 10), error_fubar);
  });
}

}  // namespace
}  // namespace mdb
