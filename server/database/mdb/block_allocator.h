// The allocation map and the allocator of MDB blocks and object space.
//
// The map holds one state byte per block (map blocks F .. D-1); every
// change of a state byte is logged in the running transaction. Objects are
// placed in object blocks (states used and full) as pieces whose 32-bit
// header holds the length (bits 31..1) and a placeholder flag (bit 0).
#pragma once

#include <cstdint>
#include <optional>

#include "server/database/mdb/buffer_cache.h"

namespace mdb {

enum block_state_t : std::uint8_t {
  block_empty = 0,
  block_used = 1,        // object block, at least a quarter free
  block_full = 2,        // object block, less than a quarter free
  block_index_root = 4,
  block_index_node = 5,  // internal index node other than a root
  block_index_leaf = 6,
  block_lob = 7,
};

// An object's working handle: where it is and a private copy of its block.
struct dobj {
  std::uint32_t block = 0;
  std::uint32_t offset = 0;
  BlockCopy data;
};

// Clears the map cache, records the map's first block F and its number of
// blocks M, scans the map and prints the block statistics.
void init_map(std::uint32_t first_map_block, std::uint32_t map_blocks);

// REQUIRES: init_map has run; n / B < M (unchecked; see query_block).
std::uint8_t get_state(std::uint32_t n);
// Logs the changed byte, then changes the map; a failed log changes
// nothing. REQUIRES: in_transaction(); n / B < M (unchecked).
void set_state(std::uint32_t n, std::uint8_t state);

// As get_state / set_state, with a range test against the map.
std::uint8_t query_block(std::uint32_t n);
void mark_block(std::uint32_t n, std::uint8_t state);

// Space for an object of `size` bytes; hint 0 means none.
dobj allocate_space(std::uint32_t hint, std::uint32_t size);

// An empty block, searched from the hint block on. The caller sets its new
// state.
std::uint32_t allocate_empty_block(std::uint32_t hint);

// The state (empty, used or full) that the pieces of a block copy call for.
std::uint8_t classify_block(const std::uint8_t* data);

struct placeholder_search {
  std::optional<std::uint32_t> offset;  // a placeholder that fits
  bool full = false;                    // less than a quarter is free
};
placeholder_search find_placeholder(std::uint32_t block, std::uint32_t size);

// Forgets the last good block and the map cache (for a new open).
void reset_allocator();

// The block of the last object allocation that left its block not full;
// 0 when there is none. For tests and diagnostics.
std::uint32_t last_good_block();

}  // namespace mdb
