// Binary searches inside index blocks and the descents from a root to a
// leaf.
//
// A descent takes one private copy per level and records every internal
// node it passes in the search path, with the child it went through, so
// that insertion and deletion can walk back up. The only change a descent
// makes is the creation of the first leaf of an empty tree. A descent
// never goes deeper than a sound tree can be, so child pointers that loop
// end it with an error instead of an endless path.
#include "server/database/mdb/index_search.h"

#include <algorithm>

#include "server/database/mdb/transaction.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {
namespace {

enum class Match { exact, first, after };

template <typename KeyAt>
std::uint32_t binary_search(std::uint32_t n, const KeyAt& key_at, const NodeId& k, Match match) {
  if (n == 0) throw error_internal("Binary search attempted on empty node");
  std::uint32_t hi = n - 1;
  std::uint32_t mid = hi / 2;
  std::uint32_t lo = 0;
  while (lo != hi) {
    const NodeId key = key_at(mid);
    if (key < k) {
      lo = mid + 1;
    } else if (key == k) {
      if (match == Match::exact) return mid;
      if (match == Match::first) hi = mid;
      if (match == Match::after) lo = mid + 1;
    } else {
      hi = mid;
    }
    mid = (hi + lo) / 2;
  }
  if (match == Match::after && key_at(mid) <= k) return mid + 1;
  return mid;
}

std::uint32_t search_leaf(const PathElement& element, const NodeId& k, Match match) {
  const IndexLeaf leaf = element.leaf();
  return binary_search(
      leaf.nkeys(), [&](std::uint32_t i) { return leaf.key(i); }, k, match);
}

std::uint32_t search_node(const PathElement& element, const NodeId& k, Match match) {
  const IndexNode node = element.node();
  return binary_search(
      node.nkeys(), [&](std::uint32_t i) { return node.key(i); }, k, match);
}

enum class Descent { unique, first, for_insert };

// The first leaf of an empty tree whose root copy is `root`.
PathElement create_first_leaf(PathElement root) {
  const bool own_transaction = !in_transaction();
  if (own_transaction) begin_transaction();
  PathElement leaf = new_index_leaf(root.block);
  root.node().set_pointer(0, leaf.block);
  check_leaf(leaf);
  log_block(root);
  log_block(leaf);
  if (own_transaction) end_transaction(true);
  return leaf;
}

// The child to follow from a node holding keys: the number of keys <= k
// (descend_unique, descend_for_insert) or < k (descend_first).
std::uint32_t child_position(const PathElement& element, const NodeId& k, Descent kind) {
  const IndexNode node = element.node();
  if (kind == Descent::first) {
    const std::uint32_t i = search_node(element, k, Match::first);
    return node.key(i) < k ? i + 1 : i;
  }
  std::uint32_t i = search_node(element, k, kind == Descent::unique ? Match::exact : Match::first);
  while (i + 1 < node.nkeys() && node.key(i + 1) == k) ++i;
  return node.key(i) <= k ? i + 1 : i;
}

// The most internal nodes a descent may pass. A tree gains a level only
// when its full root splits, and a split leaves both halves half full, so
// each level multiplies the leaves a tree needs by at least C_node / 2 (42
// at the smallest block size): a file of at most 2^32 blocks cannot hold a
// deeper tree than the levels that reach 2^32 at that fan-out. Lazy
// deletion thins nodes but adds no level; twice the figure leaves room for
// the uneven splits at runs of equal keys.
std::uint32_t max_depth() {
  const std::uint64_t fan_out = std::max<std::uint32_t>(2, node_capacity() / 2);
  std::uint32_t levels = 1;
  for (std::uint64_t reach = fan_out; reach < (std::uint64_t{1} << 32); reach *= fan_out) {
    ++levels;
  }
  return 2 * levels;
}

// Descends from `block`, which lies `depth` internal nodes below `root`.
PathElement descend(Descent kind, std::uint32_t root, std::uint32_t block, std::uint32_t depth,
                    const NodeId& k, SearchPath& path) {
  const std::uint32_t limit = max_depth();
  for (;; ++depth) {
    if (depth > limit) {
      throw error_fubar("Index with root " + support::text_u32(root) + " is deeper than " +
                        support::text_u32(limit) + " levels at block " + support::text_u32(block) +
                        ": its child pointers loop");
    }
    PathElement element = load_element(block);
    const std::uint32_t magic = block_magic(element.copy->data());
    if (magic == kIndexLeafMagic) {
      check_leaf(element);
      if (element.leaf().nkeys() != 0) {
        const std::uint32_t i =
            search_leaf(element, k, kind == Descent::unique ? Match::exact : Match::first);
        if (element.leaf().key(i) == k) element.pos = i;
      }
      return element;
    }
    if (magic != kIndexNodeMagic) {
      throw error_need_repair("Corrupt index block at " + support::text_u32(block));
    }
    check_node(element);
    const IndexNode node = element.node();
    if (node.nkeys() == 0 && node.ptr0() == 0) {
      return create_first_leaf(element);
    }
    if (node.nkeys() == 0) {
      path.push_back(element);
      block = node.ptr0();
      continue;
    }
    element.pos = child_position(element, k, kind);
    if (kind == Descent::first && element.pos < node.nkeys() && node.key(element.pos) == k) {
      // A run of k may start in the child left of the first separator
      // equal to k: try that child first.
      SearchPath trial{element};
      PathElement leaf = descend(kind, root, node.pointer(element.pos), depth + 1, k, trial);
      if (leaf_holds_key(leaf, k)) {
        path.insert(path.end(), trial.begin(), trial.end());
        return leaf;
      }
      element.pos += 1;
    }
    path.push_back(element);
    block = node.pointer(element.pos);
  }
}

}  // namespace

std::uint32_t bsearch_exact_leaf(const PathElement& element, const NodeId& k) {
  return search_leaf(element, k, Match::exact);
}
std::uint32_t bsearch_exact_node(const PathElement& element, const NodeId& k) {
  return search_node(element, k, Match::exact);
}
std::uint32_t bsearch_first_leaf(const PathElement& element, const NodeId& k) {
  return search_leaf(element, k, Match::first);
}
std::uint32_t bsearch_first_node(const PathElement& element, const NodeId& k) {
  return search_node(element, k, Match::first);
}
std::uint32_t bsearch_after_leaf(const PathElement& element, const NodeId& k) {
  return search_leaf(element, k, Match::after);
}

bool leaf_holds_key(const PathElement& leaf, const NodeId& k) {
  return leaf.has_copy() && leaf.leaf().nkeys() != 0 && leaf.pos < leaf.leaf().nkeys() &&
         leaf.leaf().key(leaf.pos) == k;
}

PathElement descend_unique(std::uint32_t root, const NodeId& k, SearchPath& path) {
  return descend(Descent::unique, root, root, 0, k, path);
}
PathElement descend_first(std::uint32_t root, const NodeId& k, SearchPath& path) {
  return descend(Descent::first, root, root, 0, k, path);
}
PathElement descend_for_insert(std::uint32_t root, const NodeId& k, SearchPath& path) {
  return descend(Descent::for_insert, root, root, 0, k, path);
}

}  // namespace mdb
