// Chain replicas (PointerChain) and their runs of blocks (ChainElm).
//
// One implementation serves the four chain kinds; a ChainLayout carries the
// kind's values (magic, entry size, entries per block E). A replica's
// entries are numbered from 0 across its elements in order, E per block.
// Invariants:
//   - an element has at least one block, and its buffer always holds the
//     element's complete current content, block headers included;
//   - an element is dirty whenever an entry or a next pointer in its buffer
//     has changed since it was last written (cleared by elm_build and
//     elm_write); the one exception is the copy of a committed replica into
//     the next one (chain_copy), which leaves the copied entries clean: they
//     reach the disk with that replica's next commit, which writes every
//     element of it;
//   - elements are only ever appended, so entry numbers never change;
//   - a replica's descriptor is found through checked_descriptor_offset, so
//     a bad replica index or chain count cannot write past the header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "server/database/tsdb/format.h"

namespace tsdb {

class TsdbState;

struct ChainLayout {
  const ChainKind* kind = nullptr;
  std::uint32_t block_size = 0;
  std::uint32_t entries_per_block = 0;  // E
};

// REQUIRES: block_size is a valid TSDB block size.
ChainLayout chain_layout(const ChainKind& kind, std::uint32_t block_size);

struct ChainElm {
  // Fails with error_consistency when count is 0. The buffer stays empty
  // until elm_build.
  ChainElm(std::uint32_t first, std::uint32_t count);

  std::uint32_t first;
  std::uint32_t count;
  std::vector<std::uint8_t> buffer;
  bool dirty = false;
};

struct PointerChain {
  PointerChain(const ChainKind& kind, std::uint32_t block_size, std::uint32_t index)
      : layout(chain_layout(kind, block_size)), index(index) {}

  ChainLayout layout;
  std::uint32_t index;  // replica index i
  std::vector<ChainElm> elements;
};

// ---- Element operations ----

// Byte position of element-local entry `local` in an element's buffer:
// block local / E, slot local % E.
std::size_t elm_entry_position(const ChainLayout& layout, std::uint32_t local);

// Entries the element holds: E * count.
std::uint32_t elm_capacity(const ChainLayout& layout, const ChainElm& element);
// Fills the element's blocks (magic, next pointers ending in `next`,
// replica index, positions; zero entries) and writes them in one write.
void elm_build(TsdbState& tsdb, const ChainLayout& layout, ChainElm& element, std::uint32_t next,
               std::uint32_t index);
// Points the element's last block at `block`; marks it dirty.
void elm_set_next(const ChainLayout& layout, ChainElm& element, std::uint32_t block);
// REQUIRES: local < E * element.count.
void elm_set_entry(const ChainLayout& layout, ChainElm& element, std::uint32_t local,
                   const EntryValue& value);
// REQUIRES: local < E * element.count.
EntryValue elm_entry(const ChainLayout& layout, const ChainElm& element, std::uint32_t local);
// Element-local number of the first free entry, or kNoFreeEntry.
// REQUIRES: layout.kind->has_free_test.
std::uint32_t elm_first_free(const TsdbState& tsdb, const ChainLayout& layout,
                             const ChainElm& element);
// Writes all blocks of the element; clears dirty on success.
void elm_write(TsdbState& tsdb, ChainElm& element);

// ---- Replica operations ----

// Appends the element (first, count) and builds it with next pointer 0.
void chain_append(TsdbState& tsdb, PointerChain& chain, std::uint32_t first, std::uint32_t count);
std::uint32_t chain_capacity(const PointerChain& chain);
// Fails with error_internal, changing nothing, when e is beyond capacity.
void chain_set_entry(PointerChain& chain, std::uint32_t e, const EntryValue& value);
// Fails like chain_set_entry when e is beyond capacity.
EntryValue chain_entry(const PointerChain& chain, std::uint32_t e);
// Number of the first free entry, or kNoFreeEntry (lblock and check only).
std::uint32_t chain_first_free(const TsdbState& tsdb, const PointerChain& chain);
bool chain_is_dirty(const PointerChain& chain);
// Writes every element, dirty or not.
void chain_write(TsdbState& tsdb, PointerChain& chain);
// Raises the replica's timestamp by one, refreshes first block and CRC of
// its descriptor in the header image and writes block 0.
// REQUIRES: the header exists and the chain has at least one element.
void chain_new_timestamp(TsdbState& tsdb, PointerChain& chain);

}  // namespace tsdb
