// Helpers of the model-based tests: how many seeds and operations a run takes, and walks of the
// index trees and of the allocation map that name the first rule a database breaks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "server/database/mdb/allocation_map.h"
#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_format.h"

namespace mdb_testing {

// The seeds of a model test and the operations per seed: `seeds` seeds in a normal run, twenty
// times as many with ten times the operations under VEXMON_LONG_TESTS=1, and seed n alone under
// VEXMON_MODEL_SEED=n, so that a failure can be replayed.
struct ModelRun {
  std::vector<std::uint32_t> seeds;
  std::uint32_t operations;
  bool long_run = false;
  bool replaying = false;

  ModelRun(std::uint32_t seed_count, std::uint32_t operations_per_seed) {
    const char* long_tests = std::getenv("VEXMON_LONG_TESTS");
    long_run = long_tests != nullptr && std::string(long_tests) == "1";
    operations = operations_per_seed * (long_run ? 10 : 1);
    if (const char* seed = std::getenv("VEXMON_MODEL_SEED"); seed && *seed) {
      replaying = true;
      seeds.push_back(static_cast<std::uint32_t>(std::strtoul(seed, nullptr, 10)));
      return;
    }
    for (std::uint32_t s = 1; s <= seed_count * (long_run ? 20 : 1); ++s) { seeds.push_back(s); }
  }
  std::string replay(std::uint32_t seed) const {
    return "seed " + std::to_string(seed) + " (replay: VEXMON_MODEL_SEED=" + std::to_string(seed) +
           (long_run ? " VEXMON_LONG_TESTS=1)" : ")");
  }
};

using IndexEntries = std::vector<std::pair<mdb::NodeId, mdb::ObjectRef>>;

// Empty when the lists are equal, else where they first differ.
inline std::string first_difference(const IndexEntries& expected, const IndexEntries& found) {
  const auto text = [](const IndexEntries& entries, std::size_t i) {
    return i < entries.size()
               ? mdb::key_text(entries[i].first) + "->" + mdb::data_text(entries[i].second)
               : std::string("none");
  };
  for (std::size_t i = 0; i < std::max(expected.size(), found.size()); ++i) {
    if (i >= expected.size() || i >= found.size() || expected[i] != found[i]) {
      return "entry " + std::to_string(i) + ": expected " + text(expected, i) + ", found " +
             text(found, i);
    }
  }
  return {};
}

// What a walk of one index tree found: its entries in leaf order, its blocks
// (root included), the depth of its leaves and the first broken rule.
struct TreeWalk {
  IndexEntries entries;
  std::set<std::uint32_t> blocks;
  std::uint32_t depth = 0;
  std::string problem;
};

// Walks the tree of `root` and checks the rules of the index blocks: magics, counts within
// capacity, allocation map states (4 root, 5 node, 6 leaf), no block reached twice, keys in order
// inside and across blocks, every key within the separators above it (below the right one in a
// unique index, at most equal in a non-unique one), the first key of every leaf but a first child
// equal to the separator left of it, all leaves at one depth and chained both ways in key order,
// and no empty leaf but the first leaf of an empty tree.
class TreeWalker {
 public:
  explicit TreeWalker(bool unique) : unique_(unique) {}

  TreeWalk walk(std::uint32_t root) {
    visit(root, 0, std::nullopt, std::nullopt, false);
    for (std::size_t i = 0; i < leaves_.size(); ++i) {
      const Leaf& leaf = leaves_[i];
      if (leaf.depth != leaves_[0].depth) fail(leaf.block, "lies deeper");
      if (leaf.left != (i == 0 ? 0 : leaves_[i - 1].block) ||
          leaf.right != (i + 1 == leaves_.size() ? 0 : leaves_[i + 1].block)) {
        fail(leaf.block, "links to other leaves than its neighbours");
      }
      if (leaf.nkeys == 0 && (leaves_.size() > 1 || leaf.depth != 1)) fail(leaf.block, "is empty");
    }
    if (!leaves_.empty()) walk_.depth = leaves_[0].depth;
    return walk_;
  }

 private:
  struct Leaf { std::uint32_t block, left, right, nkeys, depth; };
  using Bound = std::optional<mdb::NodeId>;

  void fail(std::uint32_t block, const std::string& text) {
    if (walk_.problem.empty()) walk_.problem = "block " + std::to_string(block) + " " + text;
  }
  void check_key(std::uint32_t block, const mdb::NodeId& key, Bound& previous, const Bound& lo,
                 const Bound& hi) {
    if (previous && (unique_ ? key <= *previous : key < *previous)) {
      fail(block, "has " + mdb::key_text(key) + " out of order");
    }
    if ((lo && key < *lo) || (hi && (unique_ ? key >= *hi : key > *hi))) {
      fail(block, "has " + mdb::key_text(key) + " outside its separators");
    }
    previous = key;
  }

  // A leaf that is not a first child starts with `lo` when `first_is_lo`.
  void visit(std::uint32_t block, std::uint32_t depth, const Bound& lo, const Bound& hi,
             bool first_is_lo) {
    if (!walk_.problem.empty()) return;
    if (!mdb::block_in_file(block) || !walk_.blocks.insert(block).second) {
      return fail(block, "lies outside the file or is reached twice");
    }
    const mdb::PathElement element = mdb::load_element(block);
    const std::uint32_t magic = mdb::block_magic(element.copy->data());
    const std::uint8_t state = mdb::query_block(block);
    Bound previous;
    if (magic == mdb::kIndexNodeMagic) {
      const mdb::IndexNode node = element.node();
      if (state != (depth == 0 ? mdb::block_index_root : mdb::block_index_node) ||
          node.nkeys() > mdb::node_capacity()) {
        return fail(block, "has map state " + std::to_string(state) + " or too many keys");
      }
      if (node.nkeys() == 0 && node.ptr0() == 0) {
        if (depth != 0) fail(block, "is a node without children");
        return;
      }
      for (std::uint32_t i = 0; i < node.nkeys(); ++i) {
        check_key(block, node.key(i), previous, lo, hi);
      }
      for (std::uint32_t j = 0; j <= node.nkeys(); ++j) {
        visit(node.pointer(j), depth + 1, j == 0 ? lo : Bound(node.key(j - 1)),
              j == node.nkeys() ? hi : Bound(node.key(j)), j > 0);
      }
      return;
    }
    const mdb::IndexLeaf leaf = element.leaf();
    if (magic != mdb::kIndexLeafMagic || depth == 0 || state != mdb::block_index_leaf ||
        leaf.nkeys() > mdb::leaf_capacity()) {
      return fail(block, "is no sound leaf (map state " + std::to_string(state) + ")");
    }
    if (first_is_lo && leaf.nkeys() > 0 && leaf.key(0) != *lo) {
      fail(block, "starts with " + mdb::key_text(leaf.key(0)) + " under the separator " +
                      mdb::key_text(*lo));
    }
    if (!walk_.entries.empty()) previous = walk_.entries.back().first;
    for (std::uint32_t i = 0; i < leaf.nkeys(); ++i) {
      check_key(block, leaf.key(i), previous, lo, hi);
      walk_.entries.emplace_back(leaf.key(i), leaf.data(i));
    }
    leaves_.push_back({block, leaf.left(), leaf.right(), leaf.nkeys(), depth});
  }

  bool unique_;
  TreeWalk walk_;
  std::vector<Leaf> leaves_;
};

// Checks the allocation map of the data area, from D to the end of the file or of the map: a block
// is in an index state exactly when it is one of `index_blocks`; every other block goes to
// `other(block, state)`, which returns the broken rule or nothing.
inline std::string check_data_area(
    const std::set<std::uint32_t>& index_blocks,
    const std::function<std::string(std::uint32_t, std::uint8_t)>& other) {
  const mdb::Database& db = mdb::database();
  const auto end = static_cast<std::uint32_t>(
      std::min(db.store.length() / db.store.block_size(), mdb::allocation_map().covered_blocks()));
  for (std::uint32_t b = db.first_data_block; b < end; ++b) {
    const std::uint8_t state = mdb::query_block(b);
    const bool index_state = state >= mdb::block_index_root && state <= mdb::block_index_leaf;
    if (index_state != (index_blocks.count(b) != 0)) {
      return "block " + std::to_string(b) + " has map state " + std::to_string(state) +
             (index_state ? " but is in no tree" : " but is in a tree");
    }
    if (std::string problem = index_state ? "" : other(b, state); !problem.empty()) return problem;
  }
  return {};
}

}  // namespace mdb_testing
