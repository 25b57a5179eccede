// Chain replicas and chain elements. See chains.h.
//
// An entry number e of a replica is resolved by walking the elements and
// subtracting each element's capacity (E * count) until e falls inside
// one; inside the element it sits in block local / E, slot local % E.
#include "server/database/tsdb/chains.h"

#include <algorithm>

#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"
#include "server/database/tsdb/diagnostic_bits.h"
#include "server/database/tsdb/tsdb_state.h"

namespace tsdb {

namespace {

std::uint8_t* block_at(const ChainLayout& layout, ChainElm& element, std::uint32_t k) {
  return element.buffer.data() + std::size_t{k} * layout.block_size;
}

// The element holding entry e and e's number inside it.
struct EntryPlace {
  std::size_t element;
  std::uint32_t local;
};

EntryPlace locate(const PointerChain& chain, std::uint32_t e) {
  std::uint32_t rest = e;
  for (std::size_t i = 0; i < chain.elements.size(); ++i) {
    const std::uint32_t capacity = elm_capacity(chain.layout, chain.elements[i]);
    if (rest < capacity) return {i, rest};
    rest -= capacity;
  }
  throw error_internal("Pointer for lblock " + support::text_u32(e) + " does not exist in chain " +
                       support::text_u32(chain.index));
}

}  // namespace

std::uint32_t elm_capacity(const ChainLayout& layout, const ChainElm& element) {
  return layout.entries_per_block * element.count;
}

std::size_t elm_entry_position(const ChainLayout& layout, std::uint32_t local) {
  const std::uint32_t block = local / layout.entries_per_block;
  const std::uint32_t slot = local % layout.entries_per_block;
  return std::size_t{block} * layout.block_size + entry_offset(*layout.kind, slot);
}

ChainLayout chain_layout(const ChainKind& kind, std::uint32_t block_size) {
  return {&kind, block_size, entries_per_block(kind, block_size)};
}

ChainElm::ChainElm(std::uint32_t first, std::uint32_t count) : first(first), count(count) {
  if (count == 0) {
    throw error_consistency("Zero blocks in pointer block sub-chain");
  }
}

void elm_build(TsdbState& tsdb, const ChainLayout& layout, ChainElm& element, std::uint32_t next,
               std::uint32_t index) {
  element.buffer.assign(std::size_t{layout.block_size} * element.count, 0);
  for (std::uint32_t k = 0; k < element.count; ++k) {
    const bool last = k + 1 == element.count;
    encode_chain_block_header(block_at(layout, element, k),
                              {layout.kind->magic, last ? next : element.first + k + 1, index, k});
  }
  if (layout.kind->traces_ht_writes) {
    tsdb.diagnostics.print(kTraceBit, "Will write " + support::text_u32(element.count) +
                                          " of HT data to block " +
                                          support::text_u32(element.first));
  }
  element.dirty = true;
  elm_write(tsdb, element);
}

void elm_set_next(const ChainLayout& layout, ChainElm& element, std::uint32_t block) {
  encode_next_block(block_at(layout, element, element.count - 1), block);
  element.dirty = true;
}

void elm_set_entry(const ChainLayout& layout, ChainElm& element, std::uint32_t local,
                   const EntryValue& value) {
  encode_entry(element.buffer.data() + elm_entry_position(layout, local), *layout.kind, value);
  element.dirty = true;
}

EntryValue elm_entry(const ChainLayout& layout, const ChainElm& element, std::uint32_t local) {
  return decode_entry(element.buffer.data() + elm_entry_position(layout, local), *layout.kind);
}

std::uint32_t elm_first_free(const TsdbState& tsdb, const ChainLayout& layout,
                             const ChainElm& element) {
  const ChainKind& kind = *layout.kind;
  const std::uint32_t capacity = elm_capacity(layout, element);
  for (std::uint32_t local = 0; local < capacity; ++local) {
    if (entry_is_free(element.buffer.data() + elm_entry_position(layout, local))) {
      tsdb.diagnostics.print(
          kTraceBit, kind.free_found_prefix + support::text_u32(local % layout.entries_per_block) +
                         " in block #" + support::text_u32(local / layout.entries_per_block) +
                         kind.free_found_suffix);
      return local;
    }
  }
  tsdb.diagnostics.print(kTraceBit, kind.none_free_text);
  return kNoFreeEntry;
}

void elm_write(TsdbState& tsdb, ChainElm& element) {
  tsdb.store.btb_WriteFile(element.first, element.buffer.data(), element.count);
  element.dirty = false;
}

void chain_append(TsdbState& tsdb, PointerChain& chain, std::uint32_t first, std::uint32_t count) {
  chain.elements.emplace_back(first, count);
  elm_build(tsdb, chain.layout, chain.elements.back(), 0, chain.index);
}

std::uint32_t chain_capacity(const PointerChain& chain) {
  std::uint32_t capacity = 0;
  for (const ChainElm& element : chain.elements) {
    capacity += elm_capacity(chain.layout, element);
  }
  return capacity;
}

void chain_set_entry(PointerChain& chain, std::uint32_t e, const EntryValue& value) {
  const EntryPlace place = locate(chain, e);
  elm_set_entry(chain.layout, chain.elements[place.element], place.local, value);
}

EntryValue chain_entry(const PointerChain& chain, std::uint32_t e) {
  const EntryPlace place = locate(chain, e);
  return elm_entry(chain.layout, chain.elements[place.element], place.local);
}

std::uint32_t chain_first_free(const TsdbState& tsdb, const PointerChain& chain) {
  if (!chain.layout.kind->has_free_test) {
    throw error_internal(std::string("No free-entry search in ") + chain.layout.kind->name +
                         " chains");
  }
  const support::DiagnosticMask& diagnostics = tsdb.diagnostics;
  std::uint32_t before = 0;
  for (const ChainElm& element : chain.elements) {
    diagnostics.print(kTraceBit, "Searching lblock offset " + support::text_u32(before));
    const std::uint32_t local = elm_first_free(tsdb, chain.layout, element);
    diagnostics.print(
        kTraceBit, "ChainElm returned " + support::text_u32(local) + " as the first free lblock");
    if (local != kNoFreeEntry) return before + local;
    const std::uint32_t capacity = elm_capacity(chain.layout, element);
    diagnostics.print(kTraceBit,
                      "Stepping up to next " + support::text_u32(capacity) + " lblocks...");
    before += capacity;
  }
  return kNoFreeEntry;
}

bool chain_is_dirty(const PointerChain& chain) {
  return std::any_of(chain.elements.begin(), chain.elements.end(),
                     [](const ChainElm& element) { return element.dirty; });
}

void chain_write(TsdbState& tsdb, PointerChain& chain) {
  for (ChainElm& element : chain.elements) elm_write(tsdb, element);
}

void chain_new_timestamp(TsdbState& tsdb, PointerChain& chain) {
  if (!tsdb.header_exists() || chain.elements.empty()) {
    throw error_internal("New timestamp for chain " + support::text_u32(chain.index) +
                         " without header or blocks");
  }
  std::uint8_t* descriptor =
      tsdb.header_image.data() +
      checked_descriptor_offset(tsdb.header_image, *chain.layout.kind, chain.index, tsdb.chains);
  const std::uint64_t timestamp = decode_descriptor(descriptor).timestamp + 1;
  encode_descriptor(descriptor, timestamp, chain.elements.front().first);
  tsdb.diagnostics.print(
      kTraceBit, "New timestamp for chain " + support::text_u32(chain.index) + " in block 0 is " +
                     support::text_u64(timestamp) + " (re-read: " +
                     support::text_u64(decode_descriptor(descriptor).timestamp) + ")");
  tsdb.store.btb_WriteFile(0, tsdb.header_image.data(), 1);
}

}  // namespace tsdb
