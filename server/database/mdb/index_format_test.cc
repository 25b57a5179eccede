// Index block formats, binary searches, dumps, root creation at open and
// the lazy first leaf, on real MDB files.
#include "server/database/mdb/index_format.h"

#include <gtest/gtest.h>

#include "server/database/mdb/index_operations.h"
#include "server/database/mdb/index_search.h"
#include "server/database/mdb/index_test_fixture.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using namespace mdb_testing;

// An element of an 8192-byte block with `magic`.
PathElement element_of(std::uint32_t block, std::uint32_t magic) {
  PathElement element{block, std::make_shared<BlockCopy>(8192), 0};
  support::store_be32(element.copy->data(), magic);
  return element;
}

// A leaf element holding the given keys (second word 0), data i:i.
PathElement leaf_with(const std::vector<std::uint32_t>& firsts) {
  PathElement element = element_of(7, kIndexLeafMagic);
  for (std::uint32_t i = 0; i < firsts.size(); ++i) {
    element.leaf().set_entry(i, key(firsts[i]), {i, i});
  }
  element.leaf().set_nkeys(static_cast<std::uint32_t>(firsts.size()));
  return element;
}

TEST(IndexSearchTest, BinarySearchVariants) {
  const PathElement run = leaf_with({1, 2, 2, 2, 3});
  EXPECT_EQ(bsearch_first_leaf(run, key(2)), 1u);
  EXPECT_EQ(bsearch_after_leaf(run, key(2)), 4u);
  const std::uint32_t exact = bsearch_exact_leaf(run, key(2));
  EXPECT_GE(exact, 1u);
  EXPECT_LE(exact, 3u);
  // Past every key the first variant stops at n - 1, the after one at n.
  EXPECT_EQ(bsearch_first_leaf(run, key(9)), 4u);
  EXPECT_EQ(bsearch_after_leaf(run, key(9)), 5u);
  EXPECT_EQ(bsearch_after_leaf(run, key(0)), 0u);
  // Without an equal key the exact variant ends beside where k would be.
  const std::uint32_t r = bsearch_exact_leaf(leaf_with({1, 3, 5, 7}), key(4));
  EXPECT_TRUE(r == 1 || r == 2);
  EXPECT_EQ(bsearch_exact_leaf(leaf_with({5}), key(1)), 0u);
  EXPECT_EQ(bsearch_after_leaf(leaf_with({5}), key(5)), 1u);
  expect_error<error_internal>([] { bsearch_first_leaf(leaf_with({}), key(1)); },
                               "Binary search attempted on empty node");

  // The second word orders keys with equal first words.
  PathElement seconds = leaf_with({3, 3, 3});
  for (std::uint32_t i = 0; i < 3; ++i) {
    seconds.leaf().set_entry(i, key(3, i * 2), {0, 0});
  }
  EXPECT_EQ(bsearch_first_leaf(seconds, key(3, 3)), 2u);
  EXPECT_EQ(bsearch_exact_leaf(seconds, key(3, 4)), 2u);
}

TEST(IndexFormatTest, DumpsAndChecks) {
  PathElement node = element_of(9, kIndexNodeMagic);
  node.node().set_pointer(0, 10);
  node.node().set_key(0, key(3, 7));
  node.node().set_pointer(1, 12);
  node.node().set_key(1, key(3, 9));
  node.node().set_pointer(2, 15);
  node.node().set_nkeys(2);
  EXPECT_EQ(dump_node(*node.copy),
            "Index node: (nkeys: 2)(ptr0: 10)(key 0: 3.7 rptr=12)"
            "(key 1: 3.9 rptr=15)");
  EXPECT_EQ(bsearch_first_node(node, key(3, 8)), 1u);
  EXPECT_EQ(bsearch_exact_node(node, key(3, 9)), 1u);

  PathElement leaf = leaf_with({4});
  leaf.leaf().set_left(2);
  leaf.leaf().set_right(3);
  leaf.leaf().set_entry(0, key(4, 1), {120, 48});
  EXPECT_EQ(dump_leaf(*leaf.copy),
            "Leaf node: (left: 2)(right: 3)(nkeys: 1)(key 0: 4.1->120:48)");

  expect_error<error_need_repair>([&] { check_leaf(node); },
                                  "Index data block had bad magic");
  expect_error<error_need_repair>([&] { check_node(leaf); },
                                  "Index internal node block had bad magic");
  // A count larger than the block can hold is refused, and dumps stop at
  // the block's end.
  leaf.leaf().set_nkeys(600);
  EXPECT_THROW(check_leaf(leaf), error_need_repair);
  EXPECT_NO_THROW(dump_leaf(*leaf.copy));

  diagnostic_mask().set(kDiagTrace);
  const std::string lines = stderr_of([&] { dump_searchpath({node}); });
  diagnostic_mask().set(support::kDefaultDiagnosticMask);
  EXPECT_EQ(lines, "Level 0: index=0 " + dump_node(*node.copy) + "\n");
}

using IndexRootTest = IndexFixture;

TEST_F(IndexRootTest, RootsAreCreatedOnceAtOpen) {
  start(kToolLayout);
  for (std::uint32_t b : {257u, 258u}) {
    EXPECT_EQ(query_block(b), block_index_root);
    EXPECT_EQ(block(b).node().magic(), kIndexNodeMagic);
  }
  EXPECT_EQ(index_roots[2], kNoIndexBlock);
  shut_down();

  // The second open finds the roots and logs nothing.
  open_mdb();
  const std::uint32_t position = database().journal.cursor.write_position;
  init_indexes();
  EXPECT_EQ(database().journal.cursor.write_position, position);
  EXPECT_EQ(index_roots[1], 258u);
}

TEST_F(IndexRootTest, InitialisationFailures) {
  expect_error<error_internal>(
      [] { init_indexes(); },
      "Index initialization attempted before MDB was initialized");
  // A header listing a single index: count 1, root 2, then F and D.
  create_mdb(kSmallLayout);
  std::vector<std::uint8_t> bytes = testing_util::read_file(mdb_path);
  std::uint8_t* list = bytes.data() + 20 + support::load_be32(bytes.data() + 16);
  for (std::uint32_t word : {1u, 2u, 0u, 1u, 2u}) {
    support::store_be32(list, word);
    list += 4;
  }
  testing_util::write_file(mdb_path, bytes);
  open_mdb();
  EXPECT_EQ(index_root_count(), 1u);
  expect_error<error_fubar>(
      [] { init_indexes(); },
      "Meta database does not have the two required indexes defined");
  in_transaction([] { mark_block(5, block_used); });
  expect_error<error_fubar>([] { create_index_root(5); },
                            "Non-index node at index-block 5");
}

TEST_F(IndexRootTest, SlotsWithoutRootAreRefused) {
  // A header with three roots: only slots 0 and 1 get theirs.
  start({1024, 16, 1, 2, {2, 3, 4}});
  EXPECT_EQ(index_roots[2], kNoIndexBlock);
  begin_transaction();
  expect_error<error_internal>(
      [] { nonuniq_insert(2, key(1), {1, 1}); },
      "Attempt to insert in non-unique non-existant index");
}

TEST_F(IndexRootTest, FirstDescentCreatesTheFirstLeaf) {
  start(kSmallLayout);
  // Outside a transaction the descent commits the new leaf on its own.
  SearchPath path;
  const PathElement leaf = descend_first(root(1), key(0, 1), path);
  EXPECT_FALSE(mdb::in_transaction());
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(leaf.leaf().nkeys(), 0u);
  EXPECT_EQ(leaf.leaf().magic(), kIndexLeafMagic);
  EXPECT_EQ(query_block(leaf.block), block_index_leaf);
  EXPECT_EQ(ptr0(root(1)), leaf.block);

  // The next descent passes the root and reaches the same leaf.
  SearchPath again;
  EXPECT_EQ(descend_unique(root(1), key(0, 1), again).block, leaf.block);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].block, root(1));

  // Giving back a block the map shows as empty changes nothing.
  in_transaction([&] {
    PathElement empty = block(12);
    expect_error<error_fubar>(
        [&] { free_index_block(empty); },
        "When deleting index block 12 we found that the block is already "
        "marked as free");
    mark_block(12, block_used);
    expect_error<error_fubar>(
        [&] { free_index_block(empty); },
        "When deleting index block 12 we found that the allocation map does "
        "not agree that this is an index block");
  });

  // A root pointing at a block that is no index block.
  in_transaction([&] {
    PathElement r = block(root(0));
    r.node().set_pointer(0, 12);
    log_block(r);
  });
  SearchPath corrupt;
  expect_error<error_need_repair>(
      [&] { descend_unique(root(0), key(1), corrupt); },
      "Corrupt index block at 12");
}

}  // namespace
}  // namespace mdb
