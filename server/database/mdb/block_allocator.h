// The allocator of MDB blocks and object space.
//
// Objects are placed in object blocks (map states used and full) as pieces
// whose 32-bit header holds the length (bits 31..1) and a placeholder flag
// (bit 0); every change of a map state is logged in the running
// transaction.
#pragma once

#include <cstdint>
#include <optional>

#include "server/database/mdb/allocation_map.h"
#include "server/database/mdb/object_pieces.h"

namespace mdb {

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
