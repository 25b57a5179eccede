// The unique and non-unique index operations over the table of roots.
//
// Each operation descends from the root of its slot, changes the blocks
// it reached through their private copies inside the caller's transaction
// and drops its copies when it returns. The unique insert checks the leaf
// links against the tree before it inserts; the non-unique delete walks
// right across leaves with the search path kept in step. No walk along the
// right links enters a leaf twice, so links that loop end it with an error.
#include "server/database/mdb/index_operations.h"

#include <string>
#include <unordered_set>

#include "server/database/mdb/engine_root.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_delete.h"
#include "server/database/mdb/index_insert.h"
#include "server/database/mdb/index_search.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

using support::text_u32;

// The engine root's part for the indexes.
struct IndexRootTable {
  std::array<std::uint32_t, kMaxIndexes> roots = {kNoIndexBlock, kNoIndexBlock, kNoIndexBlock,
                                                  kNoIndexBlock, kNoIndexBlock, kNoIndexBlock};
};

std::array<std::uint32_t, kMaxIndexes>& index_roots() {
  return engine_root().index_roots.get().roots;
}

namespace {

bool is_unique(std::uint32_t i) { return i < kMaxIndexes && kIndexUnique[i]; }

// The leaf's neighbour links must name the leaves the tree has beside it.
void check_leaf_links(const SearchPath& path, const PathElement& element) {
  const IndexLeaf leaf = element.leaf();
  const PathElement left = left_neighbour(path);
  if (leaf.left() != 0 && !left.has_copy()) {
    throw error_fubar("Left pointer set, but no data found");
  }
  if (left.has_copy() && left.leaf().right() != element.block) {
    throw error_fubar("Our left element points to a bad right element");
  }
  const PathElement right = right_neighbour(path);
  if (leaf.right() != 0 && !right.has_copy()) {
    throw error_fubar("Right pointer set, but no data found");
  }
  if (right.has_copy() && right.leaf().left() != element.block) {
    throw error_fubar("Our right element points to a bad left element");
  }
}

// The leaves one walk along the right links has entered. A sound chain
// runs left to right through distinct leaves, so a leaf met again means
// the links loop.
class LeafWalk {
 public:
  LeafWalk(std::uint32_t root, std::uint32_t first) : root_(root) { seen_.insert(first); }
  void enter(std::uint32_t block) {
    if (seen_.insert(block).second) return;
    throw error_fubar(
        "Leaf chain" +
        (root_ == kNoIndexBlock ? std::string() : " of index with root " + text_u32(root_)) +
        " loops back to block " + text_u32(block));
  }

 private:
  std::uint32_t root_;
  std::unordered_set<std::uint32_t> seen_;
};

void step(IndexCursor& cursor, LeafWalk& walk) {
  cursor.pos += 1;
  if (cursor.pos < cursor.leaf.leaf().nkeys()) return;
  while (cursor.leaf.leaf().right() != 0) {
    const std::uint32_t right = cursor.leaf.leaf().right();
    walk.enter(right);
    cursor.leaf.release();
    cursor.leaf = load_element(right);
    cursor.pos = 0;
    if (cursor.leaf.leaf().magic() != kIndexLeafMagic) {
      throw error_fubar("Loaded multi-leaf block not a leaf block");
    }
    check_leaf_count(cursor.leaf);
    if (cursor.leaf.leaf().nkeys() != 0) return;
  }
  cursor.pos = cursor.leaf.leaf().nkeys();
}

}  // namespace

void check_index(std::uint32_t i, const std::string& message) {
  // A header may list more than the two roots init_indexes takes over; a
  // slot without a root in the table is refused like an undefined one.
  if (!(i < index_root_count() && i < kMaxIndexes) || index_roots()[i] == kNoIndexBlock) {
    throw error_internal(message);
  }
}

void uniq_update(std::uint32_t i, const NodeId& k, const ObjectRef& d, bool must_exist) {
  if (!is_unique(i)) {
    throw error_internal("Attempt to use unique update on non-unique index");
  }
  SearchPath path;
  PathElement leaf = descend_unique(index_roots()[i], k, path);
  if (leaf_holds_key(leaf, k)) {
    if (!must_exist) {
      throw error_index_conflict("Conflict on ID " + key_text(k) + " previously " +
                                 data_text(leaf.leaf().data(leaf.pos)) + " new " + data_text(d));
    }
    leaf.leaf().set_data(leaf.pos, d);
    log_block(leaf);
    return;
  }
  if (must_exist) {
    throw error_index_noentry("Missing entry for ID " + key_text(k) + " new " + data_text(d));
  }
  check_leaf_links(path, leaf);
  leaf_insert_unique(path, leaf, k, d);
}

void uniq_delete(std::uint32_t i, const NodeId& k) {
  if (!is_unique(i)) {
    throw error_internal("Attempt to use unique delete on non-unique index");
  }
  SearchPath path;
  PathElement leaf = descend_unique(index_roots()[i], k, path);
  if (!leaf.has_copy()) {
    throw error_internal("Generic search for data returned no data");
  }
  if (!leaf_holds_key(leaf, k)) {
    throw error_fubar("NodeId index deletion could not find element to delete");
  }
  leaf_delete(leaf, path);
}

IndexCursor nonuniq_search(std::uint32_t i, const NodeId& k) {
  check_index(i, "Attempt to search in non-existant non-unique index");
  SearchPath path;
  PathElement leaf = descend_first(index_roots()[i], k, path);
  const std::uint32_t pos = leaf.pos;
  return {leaf, pos, k};
}

void cursor_next(IndexCursor& cursor) {
  LeafWalk walk(kNoIndexBlock, cursor.leaf.block);
  step(cursor, walk);
}

void nonuniq_update(std::uint32_t i, const NodeId& k, const ObjectRef& old_data,
                    const ObjectRef& new_data) {
  check_index(i, "Attempt to update non-existant non-unique index");
  IndexCursor cursor = nonuniq_search(i, k);
  LeafWalk walk(index_roots()[i], cursor.leaf.block);
  std::uint32_t candidates = 0;
  while (!cursor.at_end()) {
    if (cursor.entry_key() != k || cursor.entry_data() == old_data) break;
    ++candidates;
    step(cursor, walk);
  }
  if (cursor.at_end() || cursor.entry_key() != k) {
    throw error_internal("Update of non-unique index using non-existing block handle (" +
                         text_u32(candidates) + " candidates)");
  }
  cursor.leaf.leaf().set_data(cursor.pos, new_data);
  log_block(cursor.leaf);
}

void nonuniq_insert(std::uint32_t i, const NodeId& k, const ObjectRef& d) {
  check_index(i, "Attempt to insert in non-unique non-existant index");
  SearchPath path;
  PathElement leaf = descend_for_insert(index_roots()[i], k, path);
  leaf_insert_nonunique(path, leaf, k, d);
}

void nonuniq_delete(std::uint32_t i, const NodeId& k, const ObjectRef& d) {
  check_index(i, "Attempt to delete from non-unique non-existant index");
  SearchPath path;
  PathElement leaf = descend_first(index_roots()[i], k, path);
  if (!leaf.has_copy()) {
    throw error_internal("Generic search for data returned no data");
  }
  if (!leaf_holds_key(leaf, k)) {
    throw error_fubar("Non-unique index (" + text_u32(i) +
                      ") deletion could not find non-empty leaf for deletion");
  }
  // The scan compares data only, across leaves, until it finds d.
  LeafWalk walk(index_roots()[i], leaf.block);
  while (leaf.pos >= leaf.leaf().nkeys() || leaf.leaf().data(leaf.pos) != d) {
    leaf.pos += 1;
    if (leaf.pos < leaf.leaf().nkeys()) continue;
    const std::uint32_t right = leaf.leaf().right();
    if (right == 0) {
      throw error_fubar("Non-unique index (" + text_u32(i) +
                        ") deletion could not find element to delete");
    }
    walk.enter(right);
    PathElement next = load_element(right);
    if (next.copy->empty()) {
      throw error_internal(
          "Could not load right leaf when searching for leaf to delete key "
          "from");
    }
    check_leaf(next);
    leaf = next;
    searchpath_linkto_right(path);
  }
  if (leaf.leaf().key(leaf.pos) != k) {
    throw error_internal("Bad id (" + key_text(leaf.leaf().key(leaf.pos)) +
                         ") when searching for " + key_text(k) + " at index " + text_u32(leaf.pos) +
                         " with correct data in leaf " + dump_leaf(*leaf.copy));
  }
  leaf_delete(leaf, path);
}

}  // namespace mdb
