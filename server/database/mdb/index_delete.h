// Deletion from the index B+-trees. Deletion is lazy: blocks are never
// merged and never borrow entries; a leaf or internal node goes only when
// it becomes empty, and the root, which never goes, returns to the empty
// state (nkeys 0, ptr0 0) when its last child goes.
#pragma once

#include <cstdint>

#include "server/database/mdb/index_format.h"
#include "server/database/mdb/node_id.h"

namespace mdb {

// Removes entry leaf.pos of the leaf a descent returned; `path` is the
// descent's (kept in step by searchpath_linkto_right). An emptied leaf is
// unlinked from its neighbours, removed from its parent and freed.
// REQUIRES: in_transaction().
void leaf_delete(PathElement& leaf, const SearchPath& path);

// Removes the child `block` from the node at the end of the path, whose pos
// names the child the path went through; emptied nodes go up the path.
void node_delete_child(std::uint32_t block, const SearchPath& path);

// Makes the separator that bounds the child at the end of the path from
// the left equal to `key`, climbing where that child is a leftmost one or
// where the key would break the order of the node.
void key_rename(const NodeId& key, const SearchPath& path);

}  // namespace mdb
