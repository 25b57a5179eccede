// The block formats of the index B+-trees: internal nodes ('RINT') and
// leaves ('LEAF'), the elements of a search path, the life cycle of index
// blocks and the text dumps that error messages embed.
//
// Every index maps a node id (the key) to an object reference (the data).
// Index blocks are never written directly: an operation takes a private
// copy, changes it and logs the whole block in the running transaction.
// All words are big-endian; the views below read and write them in place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "server/database/mdb/buffer_cache.h"
#include "server/database/mdb/node_id.h"
#include "server/database/mdb/object_ref.h"
#include "server/database/support/big_endian.h"

namespace mdb {

inline constexpr std::uint32_t kIndexNodeMagic = 0x52494E54;  // "RINT"
inline constexpr std::uint32_t kIndexLeafMagic = 0x4C454146;  // "LEAF"
inline constexpr std::uint32_t kNoIndexBlock = 0xFFFFFFFFu;

inline constexpr std::uint32_t kNodeHeaderSize = 12;  // magic, nkeys, ptr0
inline constexpr std::uint32_t kNodeEntrySize = 12;   // key, rptr
inline constexpr std::uint32_t kLeafHeaderSize = 16;  // magic, left, right, nkeys
inline constexpr std::uint32_t kLeafEntrySize = 16;   // key, data

// The MDB block size B of the open database.
std::uint32_t index_block_size();
// Keys an internal node holds at most: (B - 12) / 12.
std::uint32_t node_capacity();
// Entries a leaf holds at most: (B - 16) / 16.
std::uint32_t leaf_capacity();

// "first.second" and "block:offset".
std::string key_text(const NodeId& key);
std::string data_text(const ObjectRef& data);

inline std::uint32_t block_magic(const std::uint8_t* block) { return support::load_be32(block); }

// A view of an internal node inside a block copy. Children are numbered
// 0 .. nkeys: pointer 0 is ptr0, pointer j >= 1 the rptr of key j - 1.
template <typename Byte>
class BasicIndexNode {
 public:
  explicit BasicIndexNode(Byte* bytes) : bytes_(bytes) {}

  std::uint32_t magic() const { return support::load_be32(bytes_); }
  std::uint32_t nkeys() const { return support::load_be32(bytes_ + 4); }
  std::uint32_t ptr0() const { return pointer(0); }
  std::uint32_t pointer(std::uint32_t j) const {
    return support::load_be32(bytes_ + 8 + kNodeEntrySize * j);
  }
  std::uint32_t rptr(std::uint32_t i) const { return pointer(i + 1); }
  NodeId key(std::uint32_t i) const {
    const Byte* p = bytes_ + kNodeHeaderSize + kNodeEntrySize * i;
    return {support::load_be32(p), support::load_be32(p + 4)};
  }

  void set_nkeys(std::uint32_t n) requires(!std::is_const_v<Byte>) {
    support::store_be32(bytes_ + 4, n);
  }
  void set_pointer(std::uint32_t j, std::uint32_t block) requires(!std::is_const_v<Byte>) {
    support::store_be32(bytes_ + 8 + kNodeEntrySize * j, block);
  }
  void set_key(std::uint32_t i, const NodeId& key) requires(!std::is_const_v<Byte>) {
    Byte* p = bytes_ + kNodeHeaderSize + kNodeEntrySize * i;
    support::store_be32(p, key.first);
    support::store_be32(p + 4, key.second);
  }
  Byte* bytes() const { return bytes_; }

 private:
  Byte* bytes_;
};

// A view of a leaf inside a block copy.
template <typename Byte>
class BasicIndexLeaf {
 public:
  explicit BasicIndexLeaf(Byte* bytes) : bytes_(bytes) {}

  std::uint32_t magic() const { return support::load_be32(bytes_); }
  std::uint32_t left() const { return support::load_be32(bytes_ + 4); }
  std::uint32_t right() const { return support::load_be32(bytes_ + 8); }
  std::uint32_t nkeys() const { return support::load_be32(bytes_ + 12); }
  NodeId key(std::uint32_t i) const {
    const Byte* p = entry(i);
    return {support::load_be32(p), support::load_be32(p + 4)};
  }
  ObjectRef data(std::uint32_t i) const {
    const Byte* p = entry(i);
    return {support::load_be32(p + 8), support::load_be32(p + 12)};
  }

  void set_left(std::uint32_t block) requires(!std::is_const_v<Byte>) {
    support::store_be32(bytes_ + 4, block);
  }
  void set_right(std::uint32_t block) requires(!std::is_const_v<Byte>) {
    support::store_be32(bytes_ + 8, block);
  }
  void set_nkeys(std::uint32_t n) requires(!std::is_const_v<Byte>) {
    support::store_be32(bytes_ + 12, n);
  }
  void set_data(std::uint32_t i, const ObjectRef& data) requires(!std::is_const_v<Byte>) {
    support::store_be32(entry(i) + 8, data.block);
    support::store_be32(entry(i) + 12, data.offset);
  }
  void set_entry(std::uint32_t i, const NodeId& key,
                 const ObjectRef& data) requires(!std::is_const_v<Byte>) {
    support::store_be32(entry(i), key.first);
    support::store_be32(entry(i) + 4, key.second);
    set_data(i, data);
  }
  Byte* entry(std::uint32_t i) const { return bytes_ + kLeafHeaderSize + kLeafEntrySize * i; }

 private:
  Byte* bytes_;
};

using IndexNode = BasicIndexNode<std::uint8_t>;
using IndexLeaf = BasicIndexLeaf<std::uint8_t>;
using ConstIndexNode = BasicIndexNode<const std::uint8_t>;
using ConstIndexLeaf = BasicIndexLeaf<const std::uint8_t>;

// One step of a search path, or a leaf element: a block, a private copy of
// it and a position (a child number in a node, an entry index in a leaf).
// Copies of an element share its block copy, so a change made through one
// is seen by all; the copy is released with the last element holding it.
struct PathElement {
  std::uint32_t block = kNoIndexBlock;
  std::shared_ptr<BlockCopy> copy;
  std::uint32_t pos = 0;

  bool has_copy() const { return copy != nullptr; }
  IndexNode node() const { return IndexNode(copy->data()); }
  IndexLeaf leaf() const { return IndexLeaf(copy->data()); }
  void release() { copy.reset(); }
};

// The internal nodes from the root down to the parent of a leaf.
using SearchPath = std::vector<PathElement>;

// An element holding a fresh private copy of `block`, at position 0.
PathElement load_element(std::uint32_t block);

// Logs the whole block copy of `element` in the running transaction.
void log_block(const PathElement& element);

// Throw mdb::error_need_repair unless the copy has the right magic and a
// count its block can hold.
void check_node(const PathElement& element);
void check_leaf(const PathElement& element);
// The count test of check_leaf alone.
void check_leaf_count(const PathElement& element);

// A new, logged, empty internal node (map state 5) / leaf (map state 6) in
// an empty block found from `hint` on. REQUIRES: in_transaction().
PathElement new_index_node(std::uint32_t hint);
PathElement new_index_leaf(std::uint32_t hint);
// Writes the empty-node layout (magic, nkeys 0, zeroed pointers and keys)
// into the copy; the root uses it too.
void format_empty_node(BlockCopy& copy);

// Gives an index block back: zeroed, logged and marked empty.
// REQUIRES: in_transaction().
void free_index_block(PathElement& element);

std::string dump_leaf(const BlockCopy& copy);
std::string dump_node(const BlockCopy& copy);
// Prints, under diagnostic bit 1, one "Level <l>: index=<pos> <dump>" line
// per element, root first.
void dump_searchpath(const SearchPath& path);

}  // namespace mdb
