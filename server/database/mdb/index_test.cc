// The index layer on real MDB files: block dumps and checks, roots at
// open, the non-unique split point, the maintenance of object writes and
// the errors of every operation. The model test covers the trees' shapes.
#include "server/database/mdb/index_operations.h"

#include <gtest/gtest.h>

#include "server/database/mdb/index_delete.h"
#include "server/database/mdb/index_insert.h"
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/index_search.h"
#include "server/database/mdb/mdb_test_fixture.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using namespace mdb_testing;

using IndexTest = MdbFixture;

TEST_F(IndexTest, DumpsAndChecksOfBlocks) {
  start_with_indexes(tool_layout());
  PathElement node{9, std::make_shared<BlockCopy>(kTestBlock), 0};
  format_empty_node(*node.copy);
  for (std::uint32_t i = 0; i < 2; ++i) {
    node.node().set_key(i, key(3, 7 + 2 * i));
    node.node().set_pointer(i + 1, 12 + 3 * i);
  }
  node.node().set_pointer(0, 10);
  node.node().set_nkeys(2);
  EXPECT_EQ(dump_node(*node.copy),
            "Index node: (nkeys: 2)(ptr0: 10)(key 0: 3.7 rptr=12)"
            "(key 1: 3.9 rptr=15)");
  PathElement leaf{7, std::make_shared<BlockCopy>(kTestBlock), 0};
  support::store_be32(leaf.copy->data(), kIndexLeafMagic);
  leaf.leaf().set_left(2);
  leaf.leaf().set_right(3);
  leaf.leaf().set_entry(0, key(4, 1), {120, 48});
  leaf.leaf().set_nkeys(1);
  EXPECT_EQ(dump_leaf(*leaf.copy), "Leaf node: (left: 2)(right: 3)(nkeys: 1)(key 0: 4.1->120:48)");

  expect_error<error_need_repair>([&] { check_leaf(node); }, "Index data block had bad magic");
  expect_error<error_need_repair>([&] { check_node(leaf); },
                                  "Index internal node block had bad magic");
  // A count larger than the block can hold is refused, and dumps stop at the block's end.
  leaf.leaf().set_nkeys(600);
  expect_error<error_need_repair>([&] { check_leaf(leaf); },
                                  "Index data block 7 claims 600 entries");
  EXPECT_NO_THROW(dump_leaf(*leaf.copy));
  leaf.leaf().set_nkeys(0);
  expect_error<error_internal>([&] { bsearch_first_leaf(leaf, key(1)); },
                               "Binary search attempted on empty node");
  diagnostic_mask().set(kDiagTrace);
  EXPECT_EQ(stderr_of([&] { dump_searchpath({node}); }),
            "Level 0: index=0 " + dump_node(*node.copy) + "\n");
}

TEST_F(IndexTest, RootsAreCreatedOnceAtOpen) {
  expect_error<error_internal>([] { init_indexes(); },
                               "Index initialization attempted before MDB was initialized");
  start_with_indexes(tool_layout());
  shut_down();
  start();  // the second open finds the roots and logs nothing
  const std::uint32_t position = journal_position();
  init_indexes();
  EXPECT_EQ(journal_position(), position);
  in_transaction([] { mark_block(300, block_used); });
  expect_error<error_fubar>([] { create_index_root(300); }, "Non-index node at index-block 300");
  shut_down();

  // A header listing a single index: count 1, root 2, then F and D.
  create_mdb(small_layout());
  std::vector<std::uint8_t> bytes = testing_util::read_file(mdb_path);
  std::uint8_t* list = bytes.data() + 20 + support::load_be32(bytes.data() + 16);
  for (std::uint32_t word : {1u, 2u, 0u, 1u, 2u}) {
    support::store_be32(list, word);
    list += 4;
  }
  testing_util::write_file(mdb_path, bytes);
  start();
  expect_error<error_fubar>([] { init_indexes(); },
                            "Meta database does not have the two required indexes defined");
  shut_down();
  // A header with three roots: only slots 0 and 1 get theirs, and slot 2
  // is refused like an undefined one.
  start_with_indexes(small_layout({2, 3, 4}));
  begin_transaction();
  expect_error<error_internal>(
      [] {
        nonuniq_insert(2, key(1), {1, 1});
      },
      "Attempt to insert in non-unique non-existant index");
}

TEST_F(IndexTest, NonUniqueSplitStartsAtTheRunOfTheMiddleKey) {
  start_with_indexes(small_layout());  // leaves of 63 entries
  in_transaction([] {
    for (std::uint32_t i = 0; i < 63; ++i) {
      const NodeId k = i < 30 ? key(i) : i <= 40 ? key(100) : key(200 + i);
      nonuniq_insert(1, k, handle(i, 0));
    }
  });
  in_transaction([] { nonuniq_insert(1, key(500), handle(63, 0)); });
  const PathElement r = block(root(1));
  ASSERT_EQ(r.node().nkeys(), 1u);
  EXPECT_EQ(r.node().key(0), key(100));
  EXPECT_EQ(block(r.node().ptr0()).leaf().nkeys(), 30u);
  EXPECT_EQ(block(r.node().rptr(0)).leaf().nkeys(), 34u);
  EXPECT_EQ(block(r.node().rptr(0)).leaf().data(0), handle(30, 0));
}

TEST_F(IndexTest, OperationErrors) {
  start_with_indexes(tool_layout());
  begin_transaction();
  uniq_update(0, key(0, 1), handle(120, 48), false);
  expect_error<error_index_noentry>([] { uniq_update(0, key(0, 2), handle(121, 8), true); },
                                    "Missing entry for ID 0.2 new 121:8");
  expect_error<error_fubar>([] { uniq_delete(0, key(0, 2)); },
                            "NodeId index deletion could not find element to delete");
  expect_error<error_internal>([] { uniq_update(1, key(0, 1), handle(1, 1), false); },
                               "Attempt to use unique update on non-unique index");
  expect_error<error_internal>([] { uniq_delete(1, key(0, 1)); },
                               "Attempt to use unique delete on non-unique index");
  for (std::uint32_t i = 0; i < 3; ++i) nonuniq_insert(1, key(7), handle(300 + i, 0));
  nonuniq_insert(1, key(9), handle(900, 0));
  expect_error<error_internal>([] { nonuniq_update(1, key(7), handle(77, 0), handle(78, 0)); },
                               "Update of non-unique index using non-existing block handle "
                               "(3 candidates)");
  expect_error<error_fubar>([] { nonuniq_delete(1, key(8), handle(1, 0)); },
                            "Non-unique index (1) deletion could not find non-empty leaf for "
                            "deletion");
  expect_error<error_fubar>([] { nonuniq_delete(1, key(9), handle(999, 0)); },
                            "Non-unique index (1) deletion could not find element to delete");
  // The scan compares data only: data of another key found on the way.
  expect_error<error_internal>(
      [] { nonuniq_delete(1, key(7), handle(900, 0)); },
      "Bad id (9.0) when searching for 7.0 at index 3 with correct data in "
      "leaf " +
          dump_leaf(*nonuniq_search(1, key(7)).leaf.copy));
  // Slot 2 is not defined by a database with two indexes.
  expect_error<error_internal>([] { nonuniq_search(2, key(1)); },
                               "Attempt to search in non-existant non-unique index");
  expect_error<error_internal>([] { nonuniq_update(2, key(1), handle(1, 1), handle(1, 2)); },
                               "Attempt to update non-existant non-unique index");
  expect_error<error_internal>([] { nonuniq_delete(2, key(1), handle(1, 1)); },
                               "Attempt to delete from non-unique non-existant index");

  // Positions in an empty or a full node; blocks the map does not show as index blocks; children
  // that are no index blocks; leaf links that name leaves the tree does not have.
  PathElement node = block(300);
  format_empty_node(*node.copy);
  node.pos = 5;
  node_insert_at(node, key(4, 2), 9);  // an empty node ignores the position
  EXPECT_EQ(node.node().rptr(0), 9u);
  node.pos = 3;
  EXPECT_THROW(node_insert_at(node, key(5), 10), error_internal);
  node.pos = 0;
  EXPECT_THROW(node_insert_at(node, key(5), 10), error_fubar);
  PathElement empty = block(301);
  expect_error<error_fubar>([&] { free_index_block(empty); },
                            "When deleting index block 301 we found that the block is already "
                            "marked as free");
  mark_block(301, block_used);
  expect_error<error_fubar>([&] { free_index_block(empty); },
                            "When deleting index block 301 we found that the allocation map does "
                            "not agree that this is an index block");
  PathElement leaf = block(block(root(0)).node().ptr0());
  leaf.leaf().set_left(302);
  log_block(leaf);
  expect_error<error_fubar>([] { uniq_update(0, key(0, 5), handle(1, 1), false); },
                            "Left pointer set, but no data found");
  PathElement r = block(root(0));
  r.node().set_pointer(0, 301);
  log_block(r);
  SearchPath path;
  expect_error<error_need_repair>([&] { descend_unique(root(0), key(1), path); },
                                  "Corrupt index block at 301");
}

// Object bytes: the length word, then node id records (type 4) for the
// given ids and, when `listed` is set, a bool record 502 (type 6).
std::vector<std::uint8_t> object(const std::vector<std::pair<std::uint32_t, NodeId>>& ids,
                                 std::optional<bool> listed = std::nullopt) {
  std::vector<std::uint8_t> bytes(4);
  for (const auto& [id, value] : ids) {
    bytes = testing_util::be_words({id, 24, 4, value.first, value.second, 0}, bytes);
  }
  if (listed) bytes = testing_util::be_words({502, 16, 6, *listed ? 0x01000000u : 0}, bytes);
  support::store_be32(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  return bytes;
}

TEST_F(IndexTest, ObjectWritesWithAndWithoutIndexedProperties) {
  start_with_indexes(tool_layout());
  begin_transaction();
  update_object_indexes(std::nullopt, {}, object({{0, key(0, 1)}, {2, key(0, 0)}}), handle(259, 0));
  expect_error<error_index_conflict>(
      [] {
        update_object_indexes(std::nullopt, {}, object({{0, key(0, 1)}, {2, key(0, 0)}}),
                              handle(260, 8));
      },
      "Conflict on ID 0.1 previously 259:0 new 260:8");
  // Property 502 false keeps an object out of slot 2; true needs slot 2,
  // which this database does not define.
  update_object_indexes(std::nullopt, {}, object({{0, key(0, 4)}, {2, key(0, 1)}}, false),
                        handle(261, 0));
  IndexCursor c = nonuniq_search(1, key(0, 1));
  EXPECT_EQ(c.entry_data(), handle(261, 0));
  cursor_next(c);
  EXPECT_TRUE(c.at_end());
  expect_error<error_internal>(
      [] {
        update_object_indexes(std::nullopt, {}, object({{0, key(0, 5)}, {2, key(0, 1)}}, true),
                              handle(262, 0));
      },
      "Attempt to insert in non-unique non-existant index");
  // A property 0 record too short to hold a node id.
  const std::vector<std::uint8_t> damaged = testing_util::be_words({20, 0, 16, 1, 0});
  expect_error<error_need_repair>(
      [&] { update_object_indexes(std::nullopt, {}, damaged, handle(263, 0)); },
      "Property 0 is too short for its value");
}

}  // namespace
}  // namespace mdb
