// Searching the index B+-trees: binary searches inside one block and the
// descents from the root to a leaf, including the lazy creation of the
// first leaf of an empty tree.
#pragma once

#include <cstdint>

#include "server/database/mdb/index_format.h"
#include "server/database/mdb/node_id.h"

namespace mdb {

// Binary searches in the node or leaf copy of `element`.
// REQUIRES: the block holds at least one key (else mdb::error_internal).
// An index whose key equals k if one is met; otherwise the index r with
// every key before r below k and every key after r above k.
std::uint32_t bsearch_exact_leaf(const PathElement& element, const NodeId& k);
std::uint32_t bsearch_exact_node(const PathElement& element, const NodeId& k);
// The lowest index whose key is >= k; n - 1 when every key is below k.
std::uint32_t bsearch_first_leaf(const PathElement& element, const NodeId& k);
std::uint32_t bsearch_first_node(const PathElement& element, const NodeId& k);
// The lowest index whose key is > k; n when every key is <= k.
std::uint32_t bsearch_after_leaf(const PathElement& element, const NodeId& k);

// Descents from `root` with an empty `path`: fill the path with the
// internal nodes down to the leaf's parent and return the leaf element.
// Its pos is the entry with key k when the leaf holds it, else 0; callers
// re-test the key at pos. A descent into an empty tree creates the first
// leaf (in a transaction of its own when none is open) and leaves the path
// empty. A descent deeper than any sound tree (child pointers that loop)
// fails with mdb::error_fubar naming the root and the block it reached.
// For the unique index: the entry with key k.
PathElement descend_unique(std::uint32_t root, const NodeId& k, SearchPath& path);
// For a non-unique index: the first entry with key k.
PathElement descend_first(std::uint32_t root, const NodeId& k, SearchPath& path);
// For a non-unique index: the leaf where k goes after every entry with k.
PathElement descend_for_insert(std::uint32_t root, const NodeId& k, SearchPath& path);

// True when the leaf holds entries and the entry at pos has key k.
bool leaf_holds_key(const PathElement& leaf, const NodeId& k);

}  // namespace mdb
