// Test fixture of the index layer: a real MDB file with an external
// journal in a temporary directory, opened the way the engine opens it
// (replay, allocation map, index roots), with helpers that read index
// blocks back and insert runs of keys in small transactions.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/buffer_cache.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_format.h"
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/index_operations.h"
#include "server/database/mdb/replay.h"
#include "server/database/mdb/test_helpers.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/test_util.h"

namespace mdb_testing {

// The layout of a test MDB: block size, map blocks F .. D-1, index roots.
struct IndexLayout {
  std::uint32_t block_size;
  std::uint32_t blocks;  // initial file size in blocks
  std::uint32_t first_map_block;
  std::uint32_t first_data_block;
  std::vector<std::uint32_t> roots;
};

// The layout the creation tool uses.
inline const IndexLayout kToolLayout{8192, 385, 1, 257, {257, 258}};
// Small blocks, so that leaves (63 entries) and nodes (84 keys) split after
// a few hundred insertions.
inline const IndexLayout kSmallLayout{1024, 16, 1, 2, {2, 3}};

class IndexFixture : public testing::Test {
 protected:
  void SetUp() override { mdb::diagnostic_mask().set(0); }
  void TearDown() override {
    shut_down();
    mdb::diagnostic_mask().set(support::kDefaultDiagnosticMask);
  }

  void create_mdb(const IndexLayout& layout) {
    layout_ = layout;
    make_zero_file(mdb_path, std::uint64_t{layout.blocks} * layout.block_size);
    mdb::open_store(mdb_path);
    mdb::create_header(layout.block_size, mdb::journal_external, journal_path,
                       0, 0, layout.roots, layout.first_map_block,
                       layout.first_data_block);
    make_zero_file(journal_path, 8u << 20);
    mdb::open_journal(journal_path, 0, 0, true);
    mdb::init_journal_header();
    shut_down();
  }
  // Opens store and journal, replays, loads the allocation map.
  void open_mdb() {
    mdb::reset_buffer_cache();
    mdb::reset_allocator();
    mdb::open_store(mdb_path);
    mdb::open_database();
    mdb::replay_at_open();
    mdb::init_map(layout_.first_map_block,
                  layout_.first_data_block - layout_.first_map_block);
  }
  // Creates, opens and initialises the indexes.
  void start(const IndexLayout& layout) {
    create_mdb(layout);
    open_mdb();
    mdb::init_indexes();
  }
  void shut_down() {
    mdb::database().transaction = {};
    mdb::close_journal();
    mdb::close_store();
  }

  // Runs `action` inside a committed transaction.
  void in_transaction(const std::function<void()>& action) {
    mdb::begin_transaction();
    action();
    mdb::end_transaction(true);
  }
  // Applies `insert(i)` for i in [from, to), twenty to a transaction.
  void insert_range(std::uint32_t from, std::uint32_t to,
                    const std::function<void(std::uint32_t)>& insert) {
    for (std::uint32_t i = from; i < to;) {
      mdb::begin_transaction();
      for (std::uint32_t end = std::min(to, i + 20); i < end; ++i) insert(i);
      mdb::end_transaction(true);
    }
  }
  // Inserts `count` entries of key k into non-unique `slot`, with data
  // base:0, base+1:0, ... in that order.
  void insert_equal(std::uint32_t slot, const mdb::NodeId& k,
                    std::uint32_t base, std::uint32_t count) {
    insert_range(0, count, [&](std::uint32_t i) {
      mdb::nonuniq_insert(slot, k, {base + i, 0});
    });
  }

  // A fresh private copy of `block` as an element.
  mdb::PathElement block(std::uint32_t n) { return mdb::load_element(n); }
  // The leftmost child of node block n.
  std::uint32_t ptr0(std::uint32_t n) { return block(n).node().ptr0(); }

  // The keys of the leaf chain from the leftmost leaf, checking the links
  // in both directions.
  std::vector<mdb::NodeId> chain_keys(std::uint32_t root,
                                      std::vector<mdb::ObjectRef>* data = nullptr) {
    std::uint32_t n = root;
    while (mdb::block_magic(block(n).copy->data()) == mdb::kIndexNodeMagic) {
      n = block(n).node().ptr0();
      if (n == 0) return {};
    }
    std::vector<mdb::NodeId> keys;
    std::uint32_t previous = 0;
    while (n != 0) {
      const mdb::PathElement leaf = block(n);
      EXPECT_EQ(leaf.leaf().magic(), mdb::kIndexLeafMagic);
      EXPECT_EQ(leaf.leaf().left(), previous) << "leaf " << n;
      for (std::uint32_t i = 0; i < leaf.leaf().nkeys(); ++i) {
        keys.push_back(leaf.leaf().key(i));
        if (data) data->push_back(leaf.leaf().data(i));
      }
      previous = n;
      n = leaf.leaf().right();
    }
    return keys;
  }

  std::uint32_t root(std::uint32_t slot) const {
    return mdb::index_roots[slot];
  }

  IndexLayout layout_ = kToolLayout;
  testing_util::TempDir dir;
  const std::string mdb_path = dir.file("main.odb");
  const std::string journal_path = dir.file("main.odbj");
};

inline mdb::NodeId key(std::uint32_t first, std::uint32_t second = 0) {
  return {first, second};
}
// The numbers from .. to - 1.
inline std::vector<std::uint32_t> numbers(std::uint32_t from, std::uint32_t to) {
  std::vector<std::uint32_t> v;
  for (std::uint32_t i = from; i < to; ++i) v.push_back(i);
  return v;
}
inline mdb::ObjectRef handle(std::uint32_t block, std::uint32_t offset) {
  return {block, offset};
}

}  // namespace mdb_testing
