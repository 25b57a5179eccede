// The allocation map in memory: the map blocks F .. F+M-1 of the MDB, one
// state byte per block of the file, loaded block by block on first use.
//
// Map blocks are read straight from the store, not through the buffer
// cache. That is sound because the replay at open leaves the file's map
// current and every change of the running process goes through
// set_state, which changes the loaded copy, so a loaded map block is never
// older than the file plus the journal. Loaded blocks stay until clear()
// (a new open); the scan at initialisation reads the map on its own and
// loads nothing.
#pragma once

#include <cstdint>
#include <map>

#include "server/database/mdb/buffer_cache.h"

namespace mdb {

enum block_state_t : std::uint8_t {
  block_empty = 0,
  block_used = 1,  // object block, at least a quarter free
  block_full = 2,  // object block, less than a quarter free
  block_index_root = 4,
  block_index_node = 5,  // internal index node other than a root
  block_index_leaf = 6,
  block_lob = 7,
};

class AllocationMap {
 public:
  // Forgets every loaded map block and records where the map lies.
  void init(std::uint32_t first_map_block, std::uint32_t map_blocks);
  // Forgets every loaded map block.
  void clear();

  // True when the map has an entry for block n.
  bool covers(std::uint32_t n) const;
  // The number of blocks the map has entries for, M * B (blocks 0 ..).
  std::uint64_t covered_blocks() const;

  // REQUIRES: covers(n).
  std::uint8_t state(std::uint32_t n);
  // Logs the changed byte in the running transaction, then stores it; a
  // failed log leaves the entry unchanged. REQUIRES: covers(n).
  void set_state(std::uint32_t n, std::uint8_t state);

  std::uint32_t first_map_block() const { return first_map_block_; }
  std::uint32_t map_blocks() const { return map_blocks_; }
  std::size_t loaded_blocks() const { return loaded_.size(); }

 private:
  // The loaded copy of the map block that holds the entry of block n.
  std::uint8_t* entries_with(std::uint32_t n);
  // The byte offset of the entry of block n in the MDB file.
  std::uint64_t entry_offset(std::uint32_t n) const;

  std::uint32_t first_map_block_ = 0;          // F
  std::uint32_t map_blocks_ = 0;               // M
  std::map<std::uint32_t, BlockCopy> loaded_;  // by map block number
  // The most recently used map block, so runs of lookups in one map block
  // need no search.
  std::uint32_t recent_block_ = 0;
  std::uint8_t* recent_entries_ = nullptr;
};

// The process's map, in the engine root (engine_root.h).
AllocationMap& allocation_map();

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

}  // namespace mdb
