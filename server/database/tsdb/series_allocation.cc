// Series, level and check id allocation. See series_allocation.h.
//
// A level's dblocks are zero blocks of the store that nothing but its
// lblock entry refers to; they are never written here. Growth of a replica
// writes the new chain blocks at once; everything else stays in the dirty
// current replicas until allocate_check_id commits them.
#include "server/database/tsdb/series_allocation.h"

#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"
#include "server/database/tsdb/chains.h"
#include "server/database/tsdb/diagnostic_bits.h"
#include "server/database/tsdb/phase_shift.h"
#include "server/database/tsdb/pointer_chain_growth.h"
#include "server/database/tsdb/tsdb_state.h"

namespace tsdb {

namespace {

// Blocks of B bytes that hold `records` records of `record_size` bytes.
std::uint32_t level_blocks(std::uint32_t records, std::uint32_t record_size,
                           std::uint32_t block_size) {
  const std::uint64_t bytes = std::uint64_t{records} * record_size;
  // At most 28 * (2^32 - 1) / 1024 blocks: always fits 32 bits.
  return static_cast<std::uint32_t>((bytes + block_size - 1) / block_size);
}

// First block of a run of n dblocks that lies inside the store, growing the
// store when the allocation state has no such run.
std::uint32_t allocate_dblocks(TsdbState& tsdb, std::uint32_t n) {
  const auto inside_store = [&](std::uint32_t first) {
    return std::uint64_t{first} + n <= tsdb.store.btb_BlockCount();
  };
  std::uint32_t first = tsdb.allocator.alloc_blocks(n);
  if (first != 0 && inside_store(first)) return first;
  grow_tsdb(tsdb.store, tsdb.allocator, tsdb.diagnostics, n);
  first = tsdb.allocator.alloc_blocks(n);
  if (first == 0) {
    throw error_dbnospace("Unable to allocate " + support::text_u32(n) + " blocks in db file");
  }
  if (!inside_store(first)) {
    throw error_dbnospace("Unable to grow TSDB to " + support::text_u64(std::uint64_t{first} + n) +
                          " blocks");
  }
  return first;
}

// The first free entry of `chain`, growing it by one block when it is full;
// kNoFreeEntry when even the grown chain has none.
std::uint32_t first_free_or_grow(TsdbState& tsdb, PointerChain& chain, const char* grow_notice) {
  std::uint32_t entry = chain_first_free(tsdb, chain);
  if (entry != kNoFreeEntry) return entry;
  if (grow_notice != nullptr) tsdb.diagnostics.print(kInfoBit, grow_notice);
  chain_grow(tsdb, chain, 1);
  return chain_first_free(tsdb, chain);
}

// Grows `chain` one block at a time until it has an entry `entry`.
void make_room(TsdbState& tsdb, PointerChain& chain, std::uint32_t entry) {
  while (chain_capacity(chain) <= entry) chain_grow(tsdb, chain, 1);
}

}  // namespace

std::uint32_t datatype_size(std::uint32_t datatype) {
  switch (datatype) {
    case 1:
      return 28;
    case 2:
      return 20;
    case 3:
      return 28;
    case 4:
      return 1;
    default:
      throw error_dbtype("Datatype out of range");
  }
}

std::uint32_t allocate_described_ts(const SeriesDescription& description) {
  return allocate_described_ts(tsdb_instance(), description);
}

std::uint32_t allocate_described_ts(TsdbState& tsdb, const SeriesDescription& description) {
  if (description.levels.empty()) {
    throw error_internal("allocate_described_ts() invoked with no levels");
  }
  const std::uint32_t record_size = datatype_size(description.datatype);
  std::uint32_t next = 0;
  for (auto level = description.levels.rbegin(); level != description.levels.rend(); ++level) {
    const std::uint32_t n = level_blocks(level->records, record_size, tsdb.block_size);
    next = allocate_level(tsdb, n, level->parameter, next);
    if (next == 0) throw error_internal("allocate_level() returned 0");
  }
  return allocate_check_id(tsdb, description.datatype, next);
}

std::uint32_t allocate_level(TsdbState& tsdb, std::uint32_t n, std::uint32_t parameter,
                             std::uint32_t next) {
  // Lblock 0 would read as "no level" in a next field: it keeps the first
  // level ever allocated, and the allocation is made again.
  std::uint32_t lblock = 0;
  do {
    const std::uint32_t first = allocate_dblocks(tsdb, n);
    tsdb.diagnostics.print(kTraceBit, "Allocated " + support::text_u32(n) + " blocks starting at " +
                                          support::text_u32(first) + " for new level");
    PointerChain& lblocks = tsdb.current_replica(kLblockChain);
    lblock = first_free_or_grow(tsdb, lblocks, nullptr);
    if (lblock == kNoFreeEntry) {
      throw error_dbnospace("Unable to get free lblock pointer");
    }
    chain_set_entry(lblocks, lblock, {first, n, next, parameter});
    tsdb.diagnostics.print(kTraceBit, "LBlock " + support::text_u32(lblock) +
                                          " allocated from dblock " + support::text_u32(first) +
                                          " for " + support::text_u32(n) + " blocks");
    for (const ChainKind* kind : {&kHeadChain, &kTailChain}) {
      make_room(tsdb, tsdb.current_replica(*kind), lblock);
    }
    for (const ChainKind* kind : {&kHeadChain, &kTailChain}) {
      chain_set_entry(tsdb.current_replica(*kind), lblock, {0});
    }
  } while (lblock == 0);
  return lblock;
}

std::uint32_t allocate_check_id(TsdbState& tsdb, std::uint32_t datatype,
                                std::uint32_t first_lblock) {
  PointerChain& checks = tsdb.current_replica(kCheckChain);
  const std::uint32_t id = first_free_or_grow(
      tsdb, checks, "No free check IDs in check chain - will attempt to grow check chain");
  if (id == kNoFreeEntry) {
    throw error_dbnospace("Could not allocate check ID after attempted Check Chain growth");
  }
  tsdb.diagnostics.print(kTraceBit, "Setting check-chain pointer " + support::text_u32(id) +
                                        " to point to " + support::text_u32(datatype) + ":" +
                                        support::text_u32(first_lblock));
  chain_set_entry(checks, id, {datatype, first_lblock});
  phase_shift(tsdb);
  return id;
}

}  // namespace tsdb
