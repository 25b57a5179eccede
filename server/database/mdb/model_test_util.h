// Helpers of the model-based tests: how many seeds and operations a run
// takes, and walks of the index trees and of the allocation map that name
// the first rule a database breaks.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_format.h"

namespace mdb_testing {

// The seeds of a model test and the operations per seed. A normal run takes
// `seeds` seeds of `operations` operations; VEXMON_LONG_TESTS=1 takes
// twenty times the seeds and ten times the operations; VEXMON_MODEL_SEED=n
// runs seed n alone, so that a failure can be replayed.
struct ModelRun {
  std::vector<std::uint32_t> seeds;
  std::uint32_t operations = 0;
  bool long_run = false;
  bool replaying = false;  // one seed from VEXMON_MODEL_SEED

  explicit ModelRun(std::uint32_t seed_count, std::uint32_t operations_per_seed) {
    const char* long_tests = std::getenv("VEXMON_LONG_TESTS");
    long_run = long_tests != nullptr && std::string(long_tests) == "1";
    if (long_run) {
      seed_count *= 20;
      operations_per_seed *= 10;
    }
    operations = operations_per_seed;
    if (const char* seed = std::getenv("VEXMON_MODEL_SEED")) {
      replaying = true;
      seeds.push_back(static_cast<std::uint32_t>(std::strtoul(seed, nullptr, 10)));
      return;
    }
    for (std::uint32_t s = 1; s <= seed_count; ++s) seeds.push_back(s);
  }
  // How to run one seed again, for failure messages.
  std::string replay(std::uint32_t seed) const {
    return "seed " + std::to_string(seed) + " (replay: VEXMON_MODEL_SEED=" +
           std::to_string(seed) + (long_run ? " VEXMON_LONG_TESTS=1" : "") +
           ")";
  }
};

using IndexEntries = std::vector<std::pair<mdb::NodeId, mdb::ObjectRef>>;

inline std::string entry_text(const std::pair<mdb::NodeId, mdb::ObjectRef>& e) {
  return mdb::key_text(e.first) + "->" + mdb::data_text(e.second);
}

// Empty when the lists are equal, else where they first differ.
inline std::string first_difference(const IndexEntries& expected,
                                    const IndexEntries& found) {
  for (std::size_t i = 0; i < std::max(expected.size(), found.size()); ++i) {
    const bool have_expected = i < expected.size();
    const bool have_found = i < found.size();
    if (have_expected && have_found && expected[i] == found[i]) continue;
    return "entry " + std::to_string(i) + " of " +
           std::to_string(expected.size()) + ": expected " +
           (have_expected ? entry_text(expected[i]) : "none") + ", found " +
           (have_found ? entry_text(found[i]) : "none");
  }
  return {};
}

// What a walk of one index tree found: its entries in leaf order, its blocks
// (root included) and the first broken rule (empty when none).
struct TreeWalk {
  IndexEntries entries;
  std::set<std::uint32_t> blocks;
  std::uint32_t depth = 0;  // of the leaves; 0 for an empty tree
  std::string problem;
};

// Walks the tree of `root` from the root down and checks the rules of the
// index blocks: magics, counts within capacity, allocation map states (4
// root, 5 node, 6 leaf), no block reached twice, keys in order inside and
// across blocks, every key within the separators above it (below the
// right one for a unique index, at most equal for a non-unique one), the
// first key of every leaf but a first child as the separator left of it,
// all leaves at one depth and chained both ways in key order, and no empty
// leaf but the first leaf of an empty tree.
class TreeWalker {
 public:
  explicit TreeWalker(bool unique) : unique_(unique) {}

  TreeWalk walk(std::uint32_t root) {
    visit(root, 0, std::nullopt, std::nullopt, false);
    if (!leaves_.empty()) walk_.depth = leaves_[0].depth;
    for (std::size_t i = 0; i < leaves_.size() && walk_.problem.empty(); ++i) {
      const Leaf& leaf = leaves_[i];
      const std::uint32_t left = i == 0 ? 0 : leaves_[i - 1].block;
      const std::uint32_t right = i + 1 == leaves_.size() ? 0 : leaves_[i + 1].block;
      if (leaf.depth != leaves_[0].depth) {
        fail(block_text(leaf.block) + "lies at depth " +
             std::to_string(leaf.depth) + ", the first leaf at " +
             std::to_string(leaves_[0].depth));
      } else if (leaf.left != left || leaf.right != right) {
        fail(block_text(leaf.block) + "links left " + std::to_string(leaf.left) +
             " right " + std::to_string(leaf.right) + ", its neighbours are " +
             std::to_string(left) + " and " + std::to_string(right));
      } else if (leaf.nkeys == 0 && (leaves_.size() > 1 || leaf.depth != 1)) {
        fail(block_text(leaf.block) + "is an empty leaf in a tree of " +
             std::to_string(leaves_.size()) + " leaves");
      }
    }
    return walk_;
  }

 private:
  struct Leaf {
    std::uint32_t block, left, right, nkeys, depth;
  };
  using Bound = std::optional<mdb::NodeId>;

  static std::string block_text(std::uint32_t block) {
    return "block " + std::to_string(block) + " ";
  }
  void fail(const std::string& text) {
    if (walk_.problem.empty()) walk_.problem = text;
  }
  // Checks the keys of one block: order and the bounds from above.
  void check_key(std::uint32_t block, std::uint32_t i, const mdb::NodeId& key,
                 const Bound& previous, const Bound& lo, const Bound& hi) {
    const bool ordered = !previous || (unique_ ? *previous < key : *previous <= key);
    const bool inside = (!lo || *lo <= key) &&
                        (!hi || (unique_ ? key < *hi : key <= *hi));
    if (!ordered) {
      fail(block_text(block) + "key " + std::to_string(i) + " " +
           mdb::key_text(key) + " is out of order");
    } else if (!inside) {
      fail(block_text(block) + "key " + std::to_string(i) + " " +
           mdb::key_text(key) + " lies outside the separators " +
           (lo ? mdb::key_text(*lo) : "-") + " .. " +
           (hi ? mdb::key_text(*hi) : "-"));
    }
  }

  // `first_is_lo`: the block is not the first child of its parent, so a
  // leaf's first key must be `lo`.
  void visit(std::uint32_t block, std::uint32_t depth, const Bound& lo,
             const Bound& hi, bool first_is_lo) {
    if (!walk_.problem.empty()) return;
    if (!mdb::block_in_file(block) || !walk_.blocks.insert(block).second) {
      fail(block_text(block) + "is outside the file or reached twice");
      return;
    }
    const mdb::PathElement element = mdb::load_element(block);
    const std::uint32_t magic = mdb::block_magic(element.copy->data());
    const std::uint8_t state = mdb::query_block(block);
    if (magic == mdb::kIndexNodeMagic) {
      const mdb::IndexNode node = element.node();
      const std::uint8_t expected =
          depth == 0 ? mdb::block_index_root : mdb::block_index_node;
      if (state != expected || node.nkeys() > mdb::node_capacity()) {
        fail(block_text(block) + "node has map state " + std::to_string(state) +
             " and " + std::to_string(node.nkeys()) + " keys");
        return;
      }
      if (node.nkeys() == 0 && node.ptr0() == 0) {
        if (depth != 0) fail(block_text(block) + "is a node without children");
        return;
      }
      Bound previous;
      for (std::uint32_t i = 0; i < node.nkeys(); ++i) {
        check_key(block, i, node.key(i), previous, lo, hi);
        previous = node.key(i);
      }
      for (std::uint32_t j = 0; j <= node.nkeys(); ++j) {
        visit(node.pointer(j), depth + 1, j == 0 ? lo : Bound(node.key(j - 1)),
              j == node.nkeys() ? hi : Bound(node.key(j)), j > 0);
      }
      return;
    }
    if (magic != mdb::kIndexLeafMagic || depth == 0) {
      fail(block_text(block) + "at depth " + std::to_string(depth) +
           " has magic " + std::to_string(magic));
      return;
    }
    const mdb::IndexLeaf leaf = element.leaf();
    if (state != mdb::block_index_leaf || leaf.nkeys() > mdb::leaf_capacity()) {
      fail(block_text(block) + "leaf has map state " + std::to_string(state) +
           " and " + std::to_string(leaf.nkeys()) + " entries");
      return;
    }
    if (first_is_lo && leaf.nkeys() > 0 && leaf.key(0) != *lo) {
      fail(block_text(block) + "starts with " + mdb::key_text(leaf.key(0)) +
           " under the separator " + mdb::key_text(*lo));
    }
    Bound previous;
    if (!walk_.entries.empty()) previous = walk_.entries.back().first;
    for (std::uint32_t i = 0; i < leaf.nkeys(); ++i) {
      check_key(block, i, leaf.key(i), previous, lo, hi);
      previous = leaf.key(i);
      walk_.entries.emplace_back(leaf.key(i), leaf.data(i));
    }
    leaves_.push_back({block, leaf.left(), leaf.right(), leaf.nkeys(), depth});
  }

  bool unique_;
  TreeWalk walk_;
  std::vector<Leaf> leaves_;
};

// Checks the allocation map of the data area, from D to the end of the
// file: a block is in an index state exactly when one of `index_blocks` is
// it; every other block goes to `other(block, state)`, which returns the
// broken rule or nothing.
inline std::string check_data_area(
    const std::set<std::uint32_t>& index_blocks,
    const std::function<std::string(std::uint32_t, std::uint8_t)>& other) {
  const mdb::Database& db = mdb::database();
  const auto end =
      static_cast<std::uint32_t>(db.store.length() / db.store.block_size());
  for (std::uint32_t b = db.first_data_block; b < end; ++b) {
    const std::uint8_t state = mdb::query_block(b);
    const bool index_state = state == mdb::block_index_root ||
                             state == mdb::block_index_node ||
                             state == mdb::block_index_leaf;
    if (index_state != (index_blocks.count(b) != 0)) {
      return "block " + std::to_string(b) + " has map state " +
             std::to_string(state) + (index_state ? " but is in no tree"
                                                  : " but is in a tree");
    }
    if (index_state) continue;
    if (std::string problem = other(b, state); !problem.empty()) return problem;
  }
  return {};
}

}  // namespace mdb_testing
