// Insertion into the index B+-trees: entries into leaves, separators into
// internal nodes, the splits of full leaves and nodes (the root keeps its
// block and the tree grows one level), and the search path navigation to
// neighbours at the same depth.
//
// All changes are made in the block copies of the elements and logged as
// whole blocks inside the caller's transaction.
#pragma once

#include <cstdint>

#include "server/database/mdb/index_format.h"
#include "server/database/mdb/node_id.h"

namespace mdb {

// Inserts k -> d after every entry whose key is <= k and logs the leaf.
// REQUIRES: the leaf has room.
void leaf_insert(PathElement& leaf, const NodeId& k, const ObjectRef& d);

// Inserts key k with rptr `child` at position element.pos (0 when the node
// is empty) and logs the node. REQUIRES: the node has room.
void node_insert_at(PathElement& element, const NodeId& k, std::uint32_t child);

// Insert k -> d into the leaf a descent returned, splitting it when full
// and entering the separator into the parents. `path` is the descent's.
// The unique split halves the leaf; the non-unique split moves the split
// point left to the start of the run of keys equal to the middle key.
void leaf_insert_unique(const SearchPath& path, PathElement& leaf, const NodeId& k,
                        const ObjectRef& d);
void leaf_insert_nonunique(const SearchPath& path, PathElement& leaf, const NodeId& k,
                           const ObjectRef& d);

// Insert key k with rptr `child` into the node at the end of the path at
// its pos, splitting nodes up the path as needed.
void node_insert_unique(const SearchPath& path, const NodeId& k, std::uint32_t child);
void node_insert_nonunique(const SearchPath& path, const NodeId& k, std::uint32_t child);

// The node or leaf at the same depth right (left) of the child the last
// element points to, as a fresh private copy; an element without copy and
// with block kNoIndexBlock when there is none.
PathElement right_neighbour(const SearchPath& path);
PathElement left_neighbour(const SearchPath& path);

// Moves the last element to the next node on its right at the same depth,
// adjusting the elements above it. REQUIRES: at least 2 elements.
void searchpath_advance(SearchPath& path);

// Moves the last element's pos to its next child, moving the element to
// its right sibling when it has no more children.
void searchpath_linkto_right(SearchPath& path);

}  // namespace mdb
