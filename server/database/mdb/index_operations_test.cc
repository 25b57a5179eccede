// The unique and non-unique operations and the index maintenance of object
// writes, on a real MDB laid out as the creation tool lays it out.
#include "server/database/mdb/index_operations.h"

#include <gtest/gtest.h>

#include <utility>

#include "server/database/mdb/index_test_fixture.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using namespace mdb_testing;

// Object bytes: the length word, then node id records (type 4) for the
// given ids and, when `listed` is set, a bool record 502 (type 6).
std::vector<std::uint8_t> object(
    const std::vector<std::pair<std::uint32_t, NodeId>>& ids,
    std::optional<bool> listed = std::nullopt) {
  std::vector<std::uint8_t> bytes(4);
  auto word = [&](std::uint32_t v) {
    bytes.resize(bytes.size() + 4);
    support::store_be32(&bytes[bytes.size() - 4], v);
  };
  for (const auto& [id, value] : ids) {
    for (std::uint32_t w : {id, 24u, 4u, value.first, value.second, 0u}) word(w);
  }
  if (listed) {
    for (std::uint32_t w : {502u, 16u, 6u, *listed ? 0x01000000u : 0u}) word(w);
  }
  support::store_be32(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  return bytes;
}

class IndexOperationsTest : public IndexFixture {
 protected:
  void SetUp() override {
    IndexFixture::SetUp();
    start(kToolLayout);
  }
  // Entries of a slot as "key->data" texts, in chain order.
  std::vector<std::string> entries(std::uint32_t slot) {
    std::vector<ObjectRef> data;
    const std::vector<NodeId> keys = chain_keys(root(slot), &data);
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      texts.push_back(key_text(keys[i]) + "->" + data_text(data[i]));
    }
    return texts;
  }
  using Bytes = std::optional<std::span<const std::uint8_t>>;
  // Changes the index entries of an object write in a transaction.
  void write(Bytes old_object, ObjectRef old_handle, Bytes new_object,
             ObjectRef new_handle) {
    in_transaction([&] {
      update_object_indexes(old_object, old_handle, new_object, new_handle);
    });
  }
};

using Strings = std::vector<std::string>;

TEST_F(IndexOperationsTest, UniqueUpdateConflictsAndMissingEntries) {
  in_transaction([] { uniq_update(0, key(0, 1), handle(120, 48), false); });
  begin_transaction();
  expect_error<error_index_conflict>(
      [] { uniq_update(0, key(0, 1), handle(121, 8), false); },
      "Conflict on ID 0.1 previously 120:48 new 121:8");
  expect_error<error_index_noentry>(
      [] { uniq_update(0, key(0, 2), handle(121, 8), true); },
      "Missing entry for ID 0.2 new 121:8");
  uniq_update(0, key(0, 1), handle(121, 8), true);
  end_transaction(true);
  EXPECT_EQ(entries(0), Strings{"0.1->121:8"});

  expect_error<error_internal>(
      [] { uniq_update(1, key(0, 1), handle(1, 1), false); },
      "Attempt to use unique update on non-unique index");
  expect_error<error_internal>(
      [] { uniq_delete(1, key(0, 1)); },
      "Attempt to use unique delete on non-unique index");

  // A leaf whose links name leaves the tree does not have.
  in_transaction([&] {
    PathElement leaf = block(ptr0(root(0)));
    leaf.leaf().set_left(300);
    log_block(leaf);
  });
  begin_transaction();
  expect_error<error_fubar>(
      [] { uniq_update(0, key(0, 5), handle(1, 1), false); },
      "Left pointer set, but no data found");
}

TEST_F(IndexOperationsTest, NonUniqueOperations) {
  insert_range(0, 3, [](std::uint32_t i) {
    nonuniq_insert(1, key(0, 20), handle(300 + i, 0));
  });
  begin_transaction();
  expect_error<error_internal>(
      [] { nonuniq_update(1, key(0, 20), handle(77, 0), handle(78, 0)); },
      "Update of non-unique index using non-existing block handle "
      "(3 candidates)");
  expect_error<error_internal>(
      [] { nonuniq_update(1, key(0, 21), handle(300, 0), handle(78, 0)); },
      "Update of non-unique index using non-existing block handle "
      "(0 candidates)");
  nonuniq_update(1, key(0, 20), handle(301, 0), handle(78, 0));
  end_transaction(true);
  EXPECT_EQ(entries(1),
            (Strings{"0.20->300:0", "0.20->78:0", "0.20->302:0"}));

  // Slot 2 is not defined by a database with two indexes.
  begin_transaction();
  expect_error<error_internal>(
      [] { nonuniq_search(2, key(1)); },
      "Attempt to search in non-existant non-unique index");
  expect_error<error_internal>(
      [] { nonuniq_update(2, key(1), handle(1, 1), handle(1, 2)); },
      "Attempt to update non-existant non-unique index");
  expect_error<error_internal>(
      [] { nonuniq_insert(2, key(1), handle(1, 1)); },
      "Attempt to insert in non-unique non-existant index");
  expect_error<error_internal>(
      [] { nonuniq_delete(2, key(1), handle(1, 1)); },
      "Attempt to delete from non-unique non-existant index");
  end_transaction(true);
}

TEST_F(IndexOperationsTest, ObjectWritesKeepNodeIdAndParentIdInStep) {
  const auto root_domain = object({{0, key(0, 1)}, {2, key(0, 0)}});
  const auto b = object({{0, key(0, 2)}, {2, key(0, 1)}});
  const auto c = object({{0, key(0, 3)}, {2, key(0, 1)}});
  write(std::nullopt, {}, root_domain, handle(259, 0));
  write(std::nullopt, {}, b, handle(259, 64));
  write(std::nullopt, {}, c, handle(259, 128));
  EXPECT_EQ(entries(0),
            (Strings{"0.1->259:0", "0.2->259:64", "0.3->259:128"}));
  EXPECT_EQ(entries(1),
            (Strings{"0.0->259:0", "0.1->259:64", "0.1->259:128"}));

  begin_transaction();
  expect_error<error_index_conflict>(
      [&] {
        update_object_indexes(std::nullopt, {},
                              object({{0, key(0, 1)}, {2, key(0, 0)}}),
                              handle(260, 8));
      },
      "Conflict on ID 0.1 previously 259:0 new 260:8");
  shut_down();
  open_mdb();
  init_indexes();

  // Rewriting in place logs nothing.
  begin_transaction();
  const std::uint32_t position = database().journal.cursor.write_position;
  update_object_indexes(b, handle(259, 64), b, handle(259, 64));
  EXPECT_EQ(database().journal.cursor.write_position, position);
  end_transaction(true);

  // Moving B replaces its data in both slots; C is untouched.
  write(b, handle(259, 64), b, handle(260, 8));
  // C's parent changes from 0.1 to 0.6.
  const auto c_moved = object({{2, key(0, 6)}, {0, key(0, 3)}});
  write(c, handle(259, 128), c_moved, handle(259, 128));
  EXPECT_EQ(entries(0), (Strings{"0.1->259:0", "0.2->260:8", "0.3->259:128"}));
  EXPECT_EQ(entries(1), (Strings{"0.0->259:0", "0.1->260:8", "0.6->259:128"}));

  // A new node id moves the NodeId entry; deleting an object removes both.
  const auto c_renamed = object({{0, key(0, 9)}, {2, key(0, 6)}});
  write(c_moved, handle(259, 128), c_renamed, handle(259, 128));
  write(b, handle(260, 8), std::nullopt, {});
  EXPECT_EQ(entries(0), (Strings{"0.1->259:0", "0.9->259:128"}));
  EXPECT_EQ(entries(1), (Strings{"0.0->259:0", "0.6->259:128"}));

  // Property 502 false keeps an object out of slot 2; true needs slot 2,
  // which this database does not define.
  write(std::nullopt, {}, object({{0, key(0, 4)}, {2, key(0, 1)}}, false),
        handle(261, 0));
  begin_transaction();
  expect_error<error_internal>(
      [] {
        update_object_indexes(
            std::nullopt, {}, object({{0, key(0, 5)}, {2, key(0, 1)}}, true),
            handle(262, 0));
      },
      "Attempt to insert in non-unique non-existant index");
}

TEST_F(IndexOperationsTest, DamagedObjectsAreRefused) {
  // A property 0 record too short to hold a node id.
  std::vector<std::uint8_t> bytes(20);
  support::store_be32(bytes.data(), 20);
  support::store_be32(bytes.data() + 4, 0);
  support::store_be32(bytes.data() + 8, 16);
  support::store_be32(bytes.data() + 12, 1);
  begin_transaction();
  expect_error<error_need_repair>(
      [&] {
        update_object_indexes(std::nullopt, {}, bytes, handle(259, 0));
      },
      "Property 0 is too short for its value");
  EXPECT_EQ(ptr0(root(0)), 0u);
}

}  // namespace
}  // namespace mdb
