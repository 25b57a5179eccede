// Object space and empty blocks: where new objects and index nodes go.
//
// An object block is a gapless run of pieces from offset 0 to B, each
// starting with a 32-bit header (length in bits 31..1, placeholder flag in
// bit 0). A block is "full" when less than a quarter of it is placeholder
// space; full blocks are skipped by allocations without a hint.
//
// The allocator remembers the last good block, the block of the last object
// allocation that left it not full, and starts scans there, so runs of
// allocations do not rescan the blocks before it. Blocks below the first
// data block D are never handed out. Every map change is made in a
// transaction, so a failed allocation leaves the map as it was.
#include "server/database/mdb/block_allocator.h"

#include <algorithm>
#include <utility>

#include "server/database/mdb/allocation_map.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/engine_root.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/object_pieces.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/errors.h"
#include "server/database/support/metrics_table.h"
#include "server/database/support/text_format.h"

namespace mdb {

// The engine root's part for the allocator.
struct AllocatorState {
  std::uint32_t last_good = 0;
};

namespace {

AllocatorState& allocator() { return engine_root().allocator.get(); }

std::uint32_t block_size() { return database().store.block_size(); }
std::uint32_t first_data_block() { return database().first_data_block; }

// Less placeholder space than this makes a block full.
std::uint32_t full_threshold() { return block_size() * 25 / 100; }

struct BlockSearch {
  placeholder_search result;
  BlockCopy copy;  // the private copy that was searched
};

BlockSearch search_block(std::uint32_t block, std::uint32_t size) {
  if (get_state(block) == block_empty) {
    throw error_internal("Search for placeholder in empty block");
  }
  BlockSearch search{{}, private_copy(block)};
  meter::alloc_bloads.add();
  const std::uint32_t threshold = full_threshold();
  std::uint64_t free = 0;
  std::optional<std::uint32_t>& candidate = search.result.offset;
  walk_pieces(search.copy.data(), block_size(), [&](std::uint32_t offset, std::uint32_t header) {
    if (header < 2) {
      throw error_consistency("Object at offset " + support::text_u32(offset) + " in block " +
                              support::text_u32(block) + " has zero length");
    }
    // A damaged header could claim more than the block holds; carving an
    // object from it would write past the block.
    if (piece_length(header) > block_size() - offset) {
      throw error_consistency("Object at offset " + support::text_u32(offset) + " in block " +
                              support::text_u32(block) + " runs past the end of its block");
    }
    if (!is_placeholder(header)) return true;
    free += piece_length(header);
    if (piece_length(header) >= size) candidate = offset;
    return !(free >= threshold && candidate);
  });
  search.result.full = free < threshold;
  return search;
}

// Runs `change` in a transaction of its own, ended asynchronously.
template <typename Change>
void in_own_transaction(Change&& change) {
  begin_transaction();
  change();
  end_transaction(true);
}

// Makes empty block n an object block holding one placeholder.
dobj take_empty_block(std::uint32_t n) {
  BlockCopy copy = private_copy(n);
  diagnostic(kDiagTrace, "Found empty block - starting from scratch on that one");
  set_piece_header(copy.data(), 0, block_size() | kPlaceholderBit);
  in_own_transaction([&] {
    log_update(copy.data(), kPieceHeaderSize, block_offset(n));
    set_state(n, block_used);
  });
  allocator().last_good = n;
  return {n, 0, std::move(copy)};
}

// Looks for a placeholder of `size` bytes in object block n and marks the
// block full when the search finds it so.
std::optional<dobj> take_space_in(std::uint32_t n, std::uint8_t state, std::uint32_t size) {
  BlockSearch search = search_block(n, size);
  if (search.result.full && state != block_full) {
    diagnostic(kDiagInfo, "Marked block " + support::text_u32(n) + " as full");
    in_own_transaction([&] { set_state(n, block_full); });
  }
  if (!search.result.offset) return std::nullopt;
  if (!search.result.full) allocator().last_good = n;
  return dobj{n, *search.result.offset, std::move(search.copy)};
}

enum class space_scan_t {
  hint,            // only the hint block, inside the store
  from_last_good,  // up to the end of the store
  unbounded,       // from D, past the end of the store
};

std::optional<dobj> scan_for_space(std::uint32_t start, std::uint32_t size, space_scan_t kind) {
  const std::uint64_t end = allocation_map().covered_blocks();
  for (std::uint64_t b = std::max(start, first_data_block()); b < end; ++b) {
    const auto n = static_cast<std::uint32_t>(b);
    if (kind != space_scan_t::unbounded && !block_in_file(n)) break;
    const std::uint8_t state = get_state(n);
    database().store.ensure_block(n);
    if (state == block_empty) return take_empty_block(n);
    if (state == block_used || (state == block_full && kind == space_scan_t::hint)) {
      if (std::optional<dobj> found = take_space_in(n, state, size)) {
        return found;
      }
    }
    if (kind == space_scan_t::hint) break;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> first_empty_from(std::uint32_t start) {
  const std::uint64_t end = allocation_map().covered_blocks();
  for (std::uint64_t b = std::max(start, first_data_block()); b < end; ++b) {
    const auto n = static_cast<std::uint32_t>(b);
    if (get_state(n) == block_empty) return n;
  }
  return std::nullopt;
}

}  // namespace

std::uint8_t classify_block(const std::uint8_t* data) {
  std::uint64_t free = 0;
  // A piece without length ends the walk; the rest counts as occupied.
  walk_pieces(data, block_size(), [&](std::uint32_t, std::uint32_t header) {
    if (is_placeholder(header)) free += piece_length(header);
    return true;
  });
  if (free < full_threshold()) return block_full;
  return free == block_size() ? block_empty : block_used;
}

placeholder_search find_placeholder(std::uint32_t block, std::uint32_t size) {
  return search_block(block, size).result;
}

dobj allocate_space(std::uint32_t hint, std::uint32_t size) {
  if (hint != 0) {
    meter::alloc_hint_calls.add();
    if (std::optional<dobj> found = scan_for_space(hint, size, space_scan_t::hint)) {
      return std::move(*found);
    }
    meter::alloc_hintfail.add();
  } else {
    meter::alloc_nohint_calls.add();
  }
  std::uint32_t& last_good = allocator().last_good;
  if (last_good != 0) {
    if (std::optional<dobj> found = scan_for_space(last_good, size, space_scan_t::from_last_good)) {
      return std::move(*found);
    }
    last_good = 0;
    meter::alloc_lastfail.add();
  }
  if (std::optional<dobj> found =
          scan_for_space(first_data_block(), size, space_scan_t::unbounded)) {
    return std::move(*found);
  }
  diagnostic(kDiagWarning, "No valid block found for space allocation");
  throw error_dbnospace("No free blocks in meta database");
}

std::uint32_t allocate_empty_block(std::uint32_t hint) {
  std::optional<std::uint32_t> found = first_empty_from(hint);
  if (!found && hint != 0) found = first_empty_from(first_data_block());
  if (!found) {
    diagnostic(kDiagWarning, "No valid empty block found for empty block allocation");
    throw error_dbnospace("No empty blocks in meta database");
  }
  database().store.ensure_block(*found);
  return *found;
}

void reset_allocator() {
  allocator().last_good = 0;
  allocation_map().clear();
}

std::uint32_t last_good_block() { return allocator().last_good; }

}  // namespace mdb
