// Index block formats: capacities, checks, creation and freeing of index
// blocks, and the dumps of nodes, leaves and search paths.
//
// Invariants kept here: an index block is created in a block the
// allocation map shows as empty and leaves the map as empty again, zeroed;
// every change to a block copy reaches the MDB only as a whole-block log
// entry of the running transaction.
#include "server/database/mdb/index_format.h"

#include <algorithm>
#include <cstring>

#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

using support::text_u32;

std::uint32_t index_block_size() { return database().store.block_size(); }
std::uint32_t node_capacity() { return (index_block_size() - kNodeHeaderSize) / kNodeEntrySize; }
std::uint32_t leaf_capacity() { return (index_block_size() - kLeafHeaderSize) / kLeafEntrySize; }

std::string key_text(const NodeId& key) { return to_text(key); }
std::string data_text(const ObjectRef& data) {
  return text_u32(data.block) + ":" + text_u32(data.offset);
}

PathElement load_element(std::uint32_t block) {
  return {block, std::make_shared<BlockCopy>(private_copy(block)), 0};
}

void log_block(const PathElement& element) {
  log_update(element.copy->data(), index_block_size(), block_offset(element.block));
}

void check_node(const PathElement& element) {
  const IndexNode node = element.node();
  if (node.magic() != kIndexNodeMagic) {
    throw error_need_repair("Index internal node block had bad magic");
  }
  // A count beyond the capacity would lead every reader past the block.
  if (node.nkeys() > node_capacity()) {
    throw error_need_repair("Index internal node block " + text_u32(element.block) + " claims " +
                            text_u32(node.nkeys()) + " keys");
  }
}

void check_leaf_count(const PathElement& element) {
  const IndexLeaf leaf = element.leaf();
  if (leaf.nkeys() > leaf_capacity()) {
    throw error_need_repair("Index data block " + text_u32(element.block) + " claims " +
                            text_u32(leaf.nkeys()) + " entries");
  }
}

void check_leaf(const PathElement& element) {
  if (element.leaf().magic() != kIndexLeafMagic) {
    throw error_need_repair("Index data block had bad magic");
  }
  check_leaf_count(element);
}

void format_empty_node(BlockCopy& copy) {
  support::store_be32(copy.data(), kIndexNodeMagic);
  support::store_be32(copy.data() + 4, 0);
  const std::uint32_t groups = (index_block_size() - kLeafHeaderSize) / kLeafEntrySize;
  std::memset(copy.data() + 8, 0, std::size_t{groups} * kNodeEntrySize);
}

PathElement new_index_node(std::uint32_t hint) {
  const std::uint32_t block = allocate_empty_block(hint);
  PathElement element = load_element(block);
  format_empty_node(*element.copy);
  log_block(element);
  mark_block(block, block_index_node);
  return element;
}

PathElement new_index_leaf(std::uint32_t hint) {
  const std::uint32_t block = allocate_empty_block(hint);
  mark_block(block, block_index_leaf);
  PathElement element = load_element(block);
  std::uint8_t* bytes = element.copy->data();
  support::store_be32(bytes, kIndexLeafMagic);
  std::memset(bytes + 4, 0, 12);  // left, right, nkeys
  std::memset(bytes + kLeafHeaderSize, 0, std::size_t{leaf_capacity()} * kLeafEntrySize);
  log_block(element);
  return element;
}

void free_index_block(PathElement& element) {
  const std::uint32_t block = element.block;
  const std::uint8_t state = query_block(block);
  if (state == block_empty) {
    throw error_fubar("When deleting index block " + text_u32(block) +
                      " we found that the block is already marked as free");
  }
  if (state == block_index_root) {
    diagnostic(kDiagWarning, "Deallocating index root node " + text_u32(block));
  }
  if (state != block_index_root && state != block_index_node && state != block_index_leaf) {
    throw error_fubar("When deleting index block " + text_u32(block) +
                      " we found that the allocation map does not agree that "
                      "this is an index block");
  }
  std::fill(element.copy->begin(), element.copy->end(), std::uint8_t{0});
  log_block(element);
  mark_block(block, block_empty);
}

std::string dump_leaf(const BlockCopy& copy) {
  const ConstIndexLeaf leaf(copy.data());
  std::string text = "Leaf node: (left: " + text_u32(leaf.left()) +
                     ")(right: " + text_u32(leaf.right()) + ")(nkeys: " + text_u32(leaf.nkeys()) +
                     ")";
  const std::uint32_t shown = std::min(
      leaf.nkeys(), static_cast<std::uint32_t>((copy.size() - kLeafHeaderSize) / kLeafEntrySize));
  for (std::uint32_t i = 0; i < shown; ++i) {
    text +=
        "(key " + text_u32(i) + ": " + key_text(leaf.key(i)) + "->" + data_text(leaf.data(i)) + ")";
  }
  return text;
}

std::string dump_node(const BlockCopy& copy) {
  const ConstIndexNode node(copy.data());
  std::string text =
      "Index node: (nkeys: " + text_u32(node.nkeys()) + ")(ptr0: " + text_u32(node.ptr0()) + ")";
  const std::uint32_t shown = std::min(
      node.nkeys(), static_cast<std::uint32_t>((copy.size() - kNodeHeaderSize) / kNodeEntrySize));
  for (std::uint32_t i = 0; i < shown; ++i) {
    text += "(key " + text_u32(i) + ": " + key_text(node.key(i)) +
            " rptr=" + text_u32(node.rptr(i)) + ")";
  }
  return text;
}

void dump_searchpath(const SearchPath& path) {
  if (!diagnostic_mask().enabled(kDiagTrace)) return;
  std::uint32_t level = 0;
  for (const PathElement& element : path) {
    std::string text = "<!!not an index block!!>";
    if (element.has_copy()) {
      const std::uint32_t magic = block_magic(element.copy->data());
      if (magic == kIndexLeafMagic) text = dump_leaf(*element.copy);
      if (magic == kIndexNodeMagic) text = dump_node(*element.copy);
    }
    diagnostic(kDiagTrace,
               "Level " + text_u32(level) + ": index=" + text_u32(element.pos) + " " + text);
    ++level;
  }
}

}  // namespace mdb
