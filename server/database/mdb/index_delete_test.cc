// Deletion from index trees on a real MDB with 1024-byte blocks: emptied
// leaves and nodes leave the tree and the allocation map, neighbours are
// relinked, separators follow first keys, and the tree keeps its depth.
#include "server/database/mdb/index_delete.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "server/database/mdb/index_search.h"
#include "server/database/mdb/index_test_fixture.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using namespace mdb_testing;

class IndexDeleteTest : public IndexFixture {
 protected:
  void SetUp() override {
    IndexFixture::SetUp();
    start(kSmallLayout);
  }
  void insert_unique(std::uint32_t from, std::uint32_t to) {
    insert_range(from, to, [](std::uint32_t i) {
      uniq_update(0, key(i), handle(i, 4), false);
    });
  }
  void delete_unique(const std::vector<std::uint32_t>& firsts) {
    for (std::size_t i = 0; i < firsts.size();) {
      begin_transaction();
      for (std::size_t end = std::min(firsts.size(), i + 20); i < end; ++i) {
        uniq_delete(0, key(firsts[i]));
      }
      end_transaction(true);
    }
  }
  bool is_freed(std::uint32_t b) {
    const PathElement e = block(b);
    return query_block(b) == block_empty &&
           std::all_of(e.copy->begin(), e.copy->end(),
                       [](std::uint8_t v) { return v == 0; });
  }
  // No block in the data area is in use but the two roots.
  void expect_only_roots() {
    const std::uint32_t blocks = static_cast<std::uint32_t>(
        database().store.length() / index_block_size());
    for (std::uint32_t b = 4; b < blocks; ++b) {
      EXPECT_EQ(query_block(b), block_empty) << "block " << b;
    }
  }
};

TEST_F(IndexDeleteTest, LastEntryEmptiesTheTree) {
  in_transaction([] { uniq_update(0, key(0, 1), handle(9, 4), false); });
  const std::uint32_t leaf = ptr0(root(0));
  expect_error<error_fubar>(
      [] { uniq_delete(0, key(0, 2)); },
      "NodeId index deletion could not find element to delete");
  in_transaction([] { uniq_delete(0, key(0, 1)); });
  EXPECT_EQ(ptr0(root(0)), 0u);
  EXPECT_TRUE(is_freed(leaf));
  // The next descent creates a new first leaf.
  SearchPath path;
  EXPECT_EQ(descend_unique(root(0), key(0, 1), path).leaf().nkeys(), 0u);
  EXPECT_NE(ptr0(root(0)), 0u);
}

TEST_F(IndexDeleteTest, SeparatorsAndLinksFollowDeletions) {
  insert_unique(1, 97);  // leaves 1..32, 33..64, 65..96
  PathElement r = block(root(0));
  ASSERT_EQ(r.node().nkeys(), 2u);
  const std::uint32_t l0 = r.node().pointer(0);
  const std::uint32_t l1 = r.node().pointer(1);

  // The first key of child 2 goes: the separator left of it follows.
  in_transaction([] { uniq_delete(0, key(65)); });
  EXPECT_EQ(block(root(0)).node().key(1), key(66));
  // Any deletion from a leaf that stays non-empty renames; the order of
  // the node keeps it from moving past its neighbours.
  in_transaction([] { uniq_delete(0, key(40)); });
  EXPECT_EQ(block(root(0)).node().key(0), key(33));

  // Emptying child 0 removes key 0; the former child 1 becomes ptr0.
  delete_unique(numbers(1, 33));
  r = block(root(0));
  EXPECT_EQ(r.node().nkeys(), 1u);
  EXPECT_EQ(r.node().ptr0(), l1);
  EXPECT_EQ(r.node().key(0), key(66));
  EXPECT_EQ(block(l1).leaf().left(), 0u);
  EXPECT_TRUE(is_freed(l0));
  EXPECT_EQ(chain_keys(root(0)).size(), 62u);
}

TEST_F(IndexDeleteTest, DeletingEverythingFreesEveryBlockButTheRoot) {
  std::vector<std::uint32_t> keys;
  for (std::uint32_t i = 1; i <= 6000; ++i) keys.push_back(i * 2);
  insert_range(0, 6000, [&](std::uint32_t i) {
    uniq_update(0, key(keys[(i * 7) % 6000]), handle(i, 4), false);
  });
  SearchPath deep;
  descend_unique(root(0), key(2), deep);
  ASSERT_EQ(deep.size(), 2u);

  // Delete from the right end first, then the rest in a mixed order,
  // checking that the remaining keys stay reachable.
  bool kept_depth = false;
  std::vector<std::uint32_t> order(keys.rbegin(), keys.rbegin() + 4000);
  for (std::uint32_t i = 0; i < 2000; ++i) order.push_back(keys[(i * 13) % 2000]);
  for (std::size_t done = 0; done < order.size(); done += 250) {
    delete_unique({order.begin() + done, order.begin() + done + 250});
    const PathElement r = block(root(0));
    if (r.node().nkeys() == 0 && r.node().ptr0() != 0 &&
        block_magic(block(r.node().ptr0()).copy->data()) == kIndexNodeMagic) {
      kept_depth = true;
    }
    std::vector<NodeId> left;
    for (std::size_t i = done + 250; i < order.size(); ++i) {
      left.push_back(key(order[i]));
    }
    std::sort(left.begin(), left.end());
    ASSERT_EQ(chain_keys(root(0)), left);
    for (std::size_t i = 0; i < left.size(); i += 37) {
      SearchPath path;
      ASSERT_TRUE(leaf_holds_key(descend_unique(root(0), left[i], path), left[i]));
    }
  }
  EXPECT_TRUE(kept_depth);
  EXPECT_EQ(ptr0(root(0)), 0u);
  expect_only_roots();
}

TEST_F(IndexDeleteTest, NonUniqueDeleteWalksRightAcrossLeaves) {
  insert_equal(1, key(7), 0, 150);
  insert_equal(1, key(9), 900, 1);
  expect_error<error_fubar>(
      [] { nonuniq_delete(1, key(8), handle(1, 0)); },
      "Non-unique index (1) deletion could not find non-empty leaf for "
      "deletion");
  expect_error<error_fubar>(
      [] { nonuniq_delete(1, key(7), handle(999, 0)); },
      "Non-unique index (1) deletion could not find element to delete");
  // The scan compares data only: data of another key found on the way.
  expect_error<error_internal>(
      [] { nonuniq_delete(1, key(7), handle(900, 0)); },
      "Bad id (9.0) when searching for 7.0 at index " +
          [&] {
            IndexCursor c = nonuniq_search(1, key(9));
            return support::text_u32(c.pos) + " with correct data in leaf " +
                   dump_leaf(*c.leaf.copy);
          }());

  // From the last entry backwards: every deletion walks to the rightmost
  // leaf, and emptied leaves leave the tree through the walked path.
  for (std::uint32_t i = 150; i-- > 0;) {
    in_transaction([&] { nonuniq_delete(1, key(7), handle(i, 0)); });
    if (i % 30 == 0) {
      std::vector<ObjectRef> data;
      const std::vector<NodeId> keys = chain_keys(root(1), &data);
      ASSERT_EQ(keys.size(), i + 1);
      for (std::uint32_t j = 0; j < i; ++j) EXPECT_EQ(data[j], handle(j, 0));
    }
  }
  in_transaction([] { nonuniq_delete(1, key(9), handle(900, 0)); });
  EXPECT_EQ(ptr0(root(1)), 0u);
  expect_only_roots();
}

}  // namespace
}  // namespace mdb
