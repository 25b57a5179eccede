// Deletion from the index B+-trees and the fix-ups of neighbours and
// separators.
//
// Invariants kept: every leaf but the one a descent creates in an empty
// tree holds entries; leaves stay chained in key order; a separator above
// a leaf follows the leaf's first key where the order of its node allows;
// emptied blocks are zeroed and back in the allocation map as empty.
#include "server/database/mdb/index_delete.h"

#include <cstring>

#include "server/database/mdb/diagnostics.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

using support::text_u32;

namespace {

SearchPath without_last(const SearchPath& path) { return SearchPath(path.begin(), path.end() - 1); }

// Points the leaf `block`'s `left` (or `right`) link at `target`.
void relink(std::uint32_t block, bool set_left, std::uint32_t target) {
  PathElement neighbour = load_element(block);
  if (set_left) {
    neighbour.leaf().set_left(target);
  } else {
    neighbour.leaf().set_right(target);
  }
  log_block(neighbour);
}

}  // namespace

void leaf_delete(PathElement& element, const SearchPath& path) {
  check_leaf(element);
  IndexLeaf leaf = element.leaf();
  const std::uint32_t n = leaf.nkeys();
  if (element.pos >= n) {
    throw error_internal("Cannot delete index " + text_u32(element.pos) + " in leaf with " +
                         text_u32(n) + " elements");
  }
  if (n == 1) node_delete_child(element.block, path);
  std::memmove(leaf.entry(element.pos), leaf.entry(element.pos + 1),
               std::size_t{n - 1 - element.pos} * kLeafEntrySize);
  leaf.set_nkeys(n - 1);
  if (n - 1 == 0) {
    if (leaf.left() != 0) relink(leaf.left(), false, leaf.right());
    if (leaf.right() != 0) relink(leaf.right(), true, leaf.left());
    free_index_block(element);
    return;
  }
  key_rename(leaf.key(0), path);
  log_block(element);
}

void node_delete_child(std::uint32_t block, const SearchPath& path) {
  if (path.empty()) {
    throw error_internal("Index node deletion called with empty search path");
  }
  PathElement self = path.back();
  check_node(self);
  IndexNode node = self.node();
  const std::uint32_t n = node.nkeys();
  const std::uint32_t pos = self.pos;
  if (n < pos) {
    diagnostic(kDiagTrace, "delblock=" + text_u32(block) + ":");
    dump_searchpath(path);
    throw error_internal("Cannot delete key left of key " + text_u32(pos) + " in index node with " +
                         text_u32(n) + " elements");
  }
  const SearchPath parent = without_last(path);
  if (n == 0) {
    if (parent.empty()) {
      node.set_pointer(0, 0);
      log_block(self);
    } else {
      node_delete_child(self.block, parent);
      free_index_block(self);
    }
    return;
  }
  std::uint32_t child = 0;
  if (node.pointer(pos) == block) {
    child = pos;
  } else if (pos > 0) {
    child = pos - 1;
  }
  if (node.pointer(child) != block) {
    throw error_internal("In index node " + dump_node(*self.copy) +
                         " - Neither left nor right pointer of index " + text_u32(pos) +
                         " pointed to the deleted leaf (block " + text_u32(block) + ")");
  }
  // Pointer j lies at 8 + 12j and key i at 12 + 12i: pointer r and key r,
  // or key r and pointer r + 1, are 12 adjacent bytes.
  const std::uint32_t key_index = pos == 0 ? 0 : pos - 1;
  const std::uint32_t start = 8 + kNodeEntrySize * key_index + (child == key_index ? 0 : 4);
  const std::uint32_t end = kNodeHeaderSize + kNodeEntrySize * n;
  std::uint8_t* bytes = self.copy->data();
  std::memmove(bytes + start, bytes + start + kNodeEntrySize, end - start - kNodeEntrySize);
  node.set_nkeys(n - 1);
  log_block(self);
}

void key_rename(const NodeId& key, const SearchPath& path) {
  if (path.empty()) throw error_fubar("Index key rename above root attempted");
  const PathElement& self = path.back();
  check_node(self);
  IndexNode node = self.node();
  const std::uint32_t pos = self.pos;
  const bool breaks_order = pos > 0 && ((pos - 1 > 0 && node.key(pos - 2) > key) ||
                                        (pos < node.nkeys() && key > node.key(pos)));
  if (pos == 0 || breaks_order) {
    if (path.size() > 1) key_rename(key, without_last(path));
    return;
  }
  node.set_key(pos - 1, key);
  log_block(self);
}

}  // namespace mdb
