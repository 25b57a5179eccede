// Insertion and splits in the index B+-trees, and the walk to neighbours.
//
// Invariants kept: keys stay in non-decreasing order in every block; equal
// keys keep their insertion order; all leaves stay at one depth and are
// chained left <-> right in key order; the root never leaves its block (a
// full root moves its halves into two new nodes and keeps one separator).
// In a non-unique index a split moves its point left to the first of a run
// of equal keys, so that a separator is the first of its run whenever the
// run does not start at entry 0.
#include "server/database/mdb/index_insert.h"

#include <cstring>

#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/index_search.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

using support::text_u32;

namespace {

// The 12-byte group of key i and its rptr.
std::uint8_t* key_group(const PathElement& element, std::uint32_t i) {
  return element.copy->data() + kNodeHeaderSize + kNodeEntrySize * i;
}

void leaf_insert_split(const SearchPath& path, PathElement& leaf, const NodeId& k,
                       const ObjectRef& d, bool unique);
void node_insert(const SearchPath& path, const NodeId& k, std::uint32_t child, bool unique);

void leaf_insert_split(const SearchPath& path, PathElement& leaf, const NodeId& k,
                       const ObjectRef& d, bool unique) {
  check_leaf(leaf);
  IndexLeaf old = leaf.leaf();
  const std::uint32_t n = old.nkeys();
  if (n < leaf_capacity()) {
    leaf_insert(leaf, k, d);
    return;
  }
  PathElement fresh = new_index_leaf(leaf.block);
  check_leaf(fresh);
  IndexLeaf right = fresh.leaf();
  const std::uint32_t m = (n + 1) / 2;
  std::uint32_t split = m;
  if (!unique && old.key(0) != old.key(m)) {
    split = bsearch_first_leaf(leaf, old.key(m));
    if (split > m) {
      throw error_internal(
          "When fixing up first-key assumption in leaf: couldn't find "
          "ourselves...");
    }
  }
  std::memcpy(right.entry(0), old.entry(split), std::size_t{n - split} * kLeafEntrySize);
  right.set_nkeys(n - split);
  old.set_nkeys(split);
  if (k < right.key(0)) {
    leaf_insert(leaf, k, d);
  } else {
    leaf_insert(fresh, k, d);
  }
  if (old.right() != 0) {
    PathElement neighbour = load_element(old.right());
    if (neighbour.leaf().left() != leaf.block) {
      throw error_fubar("Mismatched left/right pairs found");
    }
    neighbour.leaf().set_left(fresh.block);
    log_block(neighbour);
  }
  right.set_right(old.right());
  right.set_left(leaf.block);
  old.set_right(fresh.block);
  log_block(leaf);
  log_block(fresh);
  node_insert(path, right.key(0), fresh.block, unique);
}

// The split point of a full node with n keys.
std::uint32_t node_split_point(const PathElement& self, bool unique, bool is_root) {
  const IndexNode node = self.node();
  const std::uint32_t h = node.nkeys() / 2;
  if (is_root && h == 0) {
    throw error_internal("Root is split but has less than two keys");
  }
  if (unique || node.key(0) == node.key(h)) return h;
  const std::uint32_t s = bsearch_first_node(self, node.key(h));
  if (s > h) {
    throw error_internal(is_root ? "When fixing up first-key assumption in root: couldn't "
                                   "find ourselves..."
                                 : "When fixing up first-key assumption in index: couldn't "
                                   "find ourselves...");
  }
  return s;
}

void node_insert(const SearchPath& path, const NodeId& k, std::uint32_t child, bool unique) {
  if (path.empty()) {
    throw error_internal("Wanted to insert in index node with no self");
  }
  PathElement self = path.back();
  check_node(self);
  IndexNode node = self.node();
  const std::uint32_t n = node.nkeys();
  if (n < node_capacity()) {
    node_insert_at(self, k, child);
    return;
  }
  const SearchPath parent(path.begin(), path.end() - 1);
  const bool is_root = parent.empty();
  PathElement right = new_index_node(self.block);
  PathElement left = is_root ? new_index_node(self.block) : self;
  check_node(left);
  check_node(right);
  const std::uint32_t s = node_split_point(self, unique, is_root);

  // Keys s+1 .. n-1 with their rptr move to the new right node.
  right.node().set_pointer(0, node.rptr(s));
  std::memcpy(key_group(right, 0), key_group(self, s + 1), std::size_t{n - 1 - s} * kNodeEntrySize);
  right.node().set_nkeys(n - 1 - s);
  const NodeId middle = node.key(s);

  if (is_root) {
    left.node().set_pointer(0, node.ptr0());
    std::memcpy(key_group(left, 0), key_group(self, 0), std::size_t{s} * kNodeEntrySize);
    left.node().set_nkeys(s);
    node.set_key(0, middle);
    node.set_nkeys(1);
    node.set_pointer(0, left.block);
    node.set_pointer(1, right.block);
    log_block(left);
    log_block(right);
    log_block(self);
    if (s < self.pos) {
      right.pos = self.pos - s - 1;
      node_insert_at(right, k, child);
    } else {
      left.pos = self.pos;
      node_insert_at(left, k, child);
    }
    return;
  }

  node.set_nkeys(s);
  node_insert(parent, middle, right.block, unique);
  if (s < self.pos) {
    right.pos = self.pos - s - 1;
    node_insert_at(right, k, child);
    log_block(self);
  } else {
    node_insert_at(self, k, child);
    log_block(right);
  }
}

// The neighbour at the depth of the last element's children, on the right
// (toward_right) or on the left.
PathElement neighbour(const SearchPath& path, bool toward_right) {
  if (path.empty()) return {};
  const PathElement& last = path.back();
  check_node(last);
  const IndexNode node = last.node();
  if (toward_right ? last.pos < node.nkeys() : last.pos > 0) {
    return load_element(node.pointer(toward_right ? last.pos + 1 : last.pos - 1));
  }
  const PathElement above = neighbour(SearchPath(path.begin(), path.end() - 1), toward_right);
  if (!above.has_copy()) return {};
  check_node(above);
  const std::uint32_t edge =
      toward_right ? above.node().ptr0() : above.node().pointer(above.node().nkeys());
  if (edge == 0) return {};
  return load_element(edge);
}

}  // namespace

void leaf_insert(PathElement& element, const NodeId& k, const ObjectRef& d) {
  IndexLeaf leaf = element.leaf();
  const std::uint32_t n = leaf.nkeys();
  std::uint32_t p = 0;
  if (n == 0 || k < leaf.key(0)) {
    p = 0;
  } else if (leaf.key(n - 1) < k) {
    p = n;
  } else {
    p = bsearch_after_leaf(element, k);
  }
  if (p < n && leaf.key(p) <= k) {
    throw error_fubar("Simple leafnode insertion invariant failed: leafnode key at index " +
                      text_u32(p) + " is " + key_text(leaf.key(p)) + " which is < " + key_text(k) +
                      ". " + dump_leaf(*element.copy));
  }
  std::memmove(leaf.entry(p + 1), leaf.entry(p), std::size_t{n - p} * kLeafEntrySize);
  leaf.set_entry(p, k, d);
  leaf.set_nkeys(n + 1);
  log_block(element);
}

void node_insert_at(PathElement& element, const NodeId& k, std::uint32_t child) {
  check_node(element);
  IndexNode node = element.node();
  const std::uint32_t n = node.nkeys();
  const std::uint32_t p = n == 0 ? 0 : element.pos;
  if (p > n) {
    throw error_internal("Index node fixed-pos. insertion in node " + dump_node(*element.copy) +
                         " got index " + text_u32(p));
  }
  if (p < n && node.key(p) < k) {
    throw error_fubar(
        "Index node holds badly ordered keys - or fixed position insert had "
        "bad value (" +
        text_u32(p) + "). " + dump_node(*element.copy));
  }
  std::memmove(key_group(element, p + 1), key_group(element, p),
               std::size_t{n - p} * kNodeEntrySize);
  node.set_key(p, k);
  node.set_pointer(p + 1, child);
  node.set_nkeys(n + 1);
  log_block(element);
}

void leaf_insert_unique(const SearchPath& path, PathElement& leaf, const NodeId& k,
                        const ObjectRef& d) {
  leaf_insert_split(path, leaf, k, d, true);
}
void leaf_insert_nonunique(const SearchPath& path, PathElement& leaf, const NodeId& k,
                           const ObjectRef& d) {
  leaf_insert_split(path, leaf, k, d, false);
}
void node_insert_unique(const SearchPath& path, const NodeId& k, std::uint32_t child) {
  node_insert(path, k, child, true);
}
void node_insert_nonunique(const SearchPath& path, const NodeId& k, std::uint32_t child) {
  node_insert(path, k, child, false);
}

PathElement right_neighbour(const SearchPath& path) { return neighbour(path, true); }
PathElement left_neighbour(const SearchPath& path) { return neighbour(path, false); }

void searchpath_advance(SearchPath& path) {
  if (path.size() < 2) {
    throw error_internal("Attempted to modify searchpath bottom element with length " +
                         text_u32(static_cast<std::uint32_t>(path.size())) + "searchpath");
  }
  PathElement* parent = &path[path.size() - 2];
  parent->pos += 1;
  if (parent->pos > parent->node().nkeys()) {
    PathElement bottom = path.back();
    path.pop_back();
    searchpath_advance(path);
    path.back().pos = 0;
    path.push_back(bottom);
    parent = &path[path.size() - 2];
  }
  PathElement& bottom = path.back();
  bottom.release();
  bottom = load_element(parent->node().pointer(parent->pos));
}

void searchpath_linkto_right(SearchPath& path) {
  if (path.empty()) searchpath_advance(path);  // throws: nothing to move
  PathElement& last = path.back();
  last.pos += 1;
  if (last.pos > last.node().nkeys()) {
    diagnostic(kDiagTrace,
               "In searchpath_linkto_right: must alter parents in the "
               "searchpath");
    searchpath_advance(path);
    path.back().pos = 0;
  }
}

}  // namespace mdb
