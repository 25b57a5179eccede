// The allocation map: lazy loading of map blocks, logged changes of state
// bytes, the scan and statistics at initialisation, and the range-checked
// entry points for the other layers.
//
// The entry of block n is byte n mod B of map block F + n / B. Every change
// is logged before it is made in the loaded copy, so the copy never runs
// ahead of the journal.
#include "server/database/mdb/allocation_map.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/engine_root.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

namespace {

std::uint32_t block_size() { return database().store.block_size(); }

// The scan at initialisation reads at most this many map blocks at once.
constexpr std::uint64_t kScanRunBlocks = 256;

bool valid_state(std::uint8_t state) { return state <= 7 && state != 3; }

// The statistics lines, in the order they are printed, by state.
constexpr std::array<std::pair<std::uint8_t, const char*>, 7> kStateLabels = {{
    {block_empty, "Empty blocks: "},
    {block_used, "Used blocks: "},
    {block_full, "Full blocks: "},
    {block_index_root, "Root index blocks: "},
    {block_index_node, "Non-root index blocks: "},
    {block_index_leaf, "Leaf blocks: "},
    {block_lob, "Lob blocks: "},
}};

void check_covered(std::uint32_t n, const char* what) {
  if (!allocation_map().covers(n)) {
    throw error_range("Block " + support::text_u32(n) + " for " + what + " is out of range");
  }
}

}  // namespace

void AllocationMap::init(std::uint32_t first_map_block, std::uint32_t map_blocks) {
  clear();
  first_map_block_ = first_map_block;
  map_blocks_ = map_blocks;
}

void AllocationMap::clear() {
  loaded_.clear();
  recent_entries_ = nullptr;
}

bool AllocationMap::covers(std::uint32_t n) const { return n / block_size() < map_blocks_; }

std::uint64_t AllocationMap::covered_blocks() const {
  return std::uint64_t{map_blocks_} * block_size();
}

std::uint64_t AllocationMap::entry_offset(std::uint32_t n) const {
  const std::uint32_t b = block_size();
  return block_offset(first_map_block_ + n / b) + n % b;
}

std::uint8_t* AllocationMap::entries_with(std::uint32_t n) {
  const std::uint32_t map_block = first_map_block_ + n / block_size();
  if (recent_entries_ != nullptr && recent_block_ == map_block) {
    return recent_entries_;
  }
  auto it = loaded_.find(map_block);
  if (it == loaded_.end()) {
    BlockCopy copy(block_size());
    database().store.read_bytes(copy.data(), block_offset(map_block), copy.size());
    it = loaded_.emplace(map_block, std::move(copy)).first;
  }
  recent_block_ = map_block;
  recent_entries_ = it->second.data();
  return recent_entries_;
}

std::uint8_t AllocationMap::state(std::uint32_t n) { return entries_with(n)[n % block_size()]; }

void AllocationMap::set_state(std::uint32_t n, std::uint8_t state) {
  std::uint8_t* entries = entries_with(n);
  log_update(&state, 1, entry_offset(n));
  entries[n % block_size()] = state;
}

AllocationMap& allocation_map() { return engine_root().allocation_map.get(); }

void init_map(std::uint32_t first_map_block, std::uint32_t map_blocks) {
  if (!header_loaded()) {
    throw error_internal("Allocation map initialization attempted before block size was found");
  }
  AllocationMap& map = allocation_map();
  map.init(first_map_block, map_blocks);
  // The map is read straight from the store in long runs and counted byte
  // by byte; a run stops at the end of the store, so a map that reaches
  // past it fails at the first missing block, after every entry before it
  // was checked.
  const std::uint32_t b = block_size();
  BackingStore& store = database().store;
  std::vector<std::uint8_t> run;
  std::array<std::uint64_t, 256> counts{};
  std::uint64_t n = 0;
  for (std::uint64_t done = 0; done < map_blocks;) {
    const std::uint64_t offset = block_offset(first_map_block) + done * b;
    const std::uint64_t in_store = store.length() > offset ? (store.length() - offset) / b : 0;
    const std::uint64_t blocks = std::clamp<std::uint64_t>(
        std::min<std::uint64_t>(in_store, kScanRunBlocks), 1, map_blocks - done);
    run.resize(blocks * b);
    store.read_bytes(run.data(), offset, run.size());
    for (const std::uint8_t state : run) {
      if (!valid_state(state)) {
        throw error_consistency("Unknown alloc. bitmap (" + support::text_u32(state) +
                                ") for block " + support::text_u64(n));
      }
      counts[state] += 1;
      ++n;
    }
    done += blocks;
  }
  for (const auto& [state, label] : kStateLabels) {
    diagnostic(kDiagInfo, label + support::text_u64(counts[state]));
  }
}

std::uint8_t get_state(std::uint32_t n) { return allocation_map().state(n); }

void set_state(std::uint32_t n, std::uint8_t state) { allocation_map().set_state(n, state); }

std::uint8_t query_block(std::uint32_t n) {
  check_covered(n, "mark query");
  return get_state(n);
}

void mark_block(std::uint32_t n, std::uint8_t state) {
  check_covered(n, "marking");
  set_state(n, state);
}

}  // namespace mdb
