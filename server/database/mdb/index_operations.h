// The index operations: the six index slots and their table of roots, the
// unique operations (NodeId index) and the non-unique ones with cursors
// (ParentId index and the rest).
//
// Every operation but create_index_root runs inside a transaction its
// caller opened, starts with an empty search path and releases every block
// copy it took before it returns (a cursor keeps its leaf copy).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "server/database/mdb/index_format.h"
#include "server/database/mdb/node_id.h"

namespace mdb {

inline constexpr std::uint32_t kMaxIndexes = 6;
inline constexpr std::uint32_t kNodeIdIndex = 0;
inline constexpr std::uint32_t kParentIdIndex = 1;

// Whether slot i is unique: only slot 0, the NodeId index.
inline constexpr std::array<bool, kMaxIndexes> kIndexUnique = {true,  false, false,
                                                               false, false, false};

// The root block of each slot; kNoIndexBlock until take_index_roots sets
// slots 0 and 1. The table is the engine root's part for the indexes.
std::array<std::uint32_t, kMaxIndexes>& index_roots();

// Makes block b an empty index root in a committed transaction of its own;
// false (nothing written) when it already is one.
// REQUIRES: the allocation map is initialised; no transaction is open.
bool create_index_root(std::uint32_t b);

// Passes when slot i is defined by the header, below kMaxIndexes and has a
// root in the table; else throws mdb::error_internal with `message`.
void check_index(std::uint32_t i, const std::string& message);

// Unique slot i: must_exist false enters a new key, true replaces the data
// of a present key. REQUIRES: in_transaction().
void uniq_update(std::uint32_t i, const NodeId& k, const ObjectRef& d, bool must_exist);
void uniq_delete(std::uint32_t i, const NodeId& k);

// A position in a non-unique index: entry pos of the leaf, at the end when
// pos >= the leaf's nkeys. Owns its leaf copy.
struct IndexCursor {
  PathElement leaf;  // the leaf block and its copy
  std::uint32_t pos = 0;
  NodeId key;

  bool at_end() const { return pos >= leaf.leaf().nkeys(); }
  NodeId entry_key() const { return leaf.leaf().key(pos); }
  ObjectRef entry_data() const { return leaf.leaf().data(pos); }
};

// The cursor at the first entry with key k, or where it would be (then the
// entry there has another key, or the cursor is at the end).
IndexCursor nonuniq_search(std::uint32_t i, const NodeId& k);
// Moves to the next entry in key order, across leaves.
void cursor_next(IndexCursor& cursor);

// Replace the data `old_data` of an entry with key k; add k -> d after every
// entry with key k; remove the first entry k -> d.
// REQUIRES: in_transaction().
void nonuniq_update(std::uint32_t i, const NodeId& k, const ObjectRef& old_data,
                    const ObjectRef& new_data);
void nonuniq_insert(std::uint32_t i, const NodeId& k, const ObjectRef& d);
void nonuniq_delete(std::uint32_t i, const NodeId& k, const ObjectRef& d);

}  // namespace mdb
