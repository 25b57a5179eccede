// Growing and copying chain replicas. See pointer_chain_growth.h.
//
// The copy walks the elements of both replicas side by side and moves
// entries in pieces that never cross a block boundary on either side, so
// the 16-byte block headers of the destination are left untouched.
#include "server/database/tsdb/pointer_chain_growth.h"

#include <algorithm>
#include <cstring>

#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"
#include "server/database/tsdb/chains.h"
#include "server/database/tsdb/diagnostic_bits.h"
#include "server/database/tsdb/tsdb_state.h"

namespace tsdb {

namespace {

// A position in a replica's entries: element number and the number of
// entries already passed in that element.
struct Cursor {
  std::size_t element = 0;
  std::uint32_t offset = 0;
};

// Moves the cursor past exhausted elements. False when none is left.
bool settle(const PointerChain& chain, Cursor& cursor) {
  while (cursor.element < chain.elements.size()) {
    if (cursor.offset < elm_capacity(chain.layout, chain.elements[cursor.element])) {
      return true;
    }
    ++cursor.element;
    cursor.offset = 0;
  }
  return false;
}

// Entries left in the cursor's block, counted from its position.
std::uint32_t left_in_block(const ChainLayout& layout, const Cursor& cursor) {
  return layout.entries_per_block - cursor.offset % layout.entries_per_block;
}

void copy_entries(PointerChain& dst, const PointerChain& src) {
  const ChainLayout& layout = dst.layout;
  Cursor d;
  Cursor s;
  while (settle(dst, d) && settle(src, s)) {
    const std::uint32_t piece = std::min(left_in_block(layout, d), left_in_block(layout, s));
    ChainElm& to = dst.elements[d.element];
    const ChainElm& from = src.elements[s.element];
    std::memcpy(to.buffer.data() + elm_entry_position(layout, d.offset),
                from.buffer.data() + elm_entry_position(layout, s.offset),
                std::size_t{piece} * layout.kind->entry_size);
    d.offset += piece;
    s.offset += piece;
  }
}

std::uint8_t* descriptor_of(TsdbState& tsdb, const PointerChain& chain) {
  return tsdb.header_image.data() + descriptor_offset(*chain.layout.kind, chain.index, tsdb.chains);
}

}  // namespace

void chain_grow(TsdbState& tsdb, PointerChain& chain, std::uint32_t n) {
  std::uint32_t first = tsdb.allocator.alloc_blocks(n);
  if (first == 0) {
    grow_tsdb(tsdb.store, tsdb.allocator, tsdb.diagnostics, n);
    first = tsdb.allocator.alloc_blocks(n);
    if (first == 0) {
      throw error_dbnospace("Unable to allocate " + support::text_u32(n) +
                            " blocks even after attempted database growth!");
    }
  }
  if (!chain.elements.empty()) {
    elm_set_next(chain.layout, chain.elements.back(), first);
  }
  chain_append(tsdb, chain, first, n);
  tsdb.diagnostics.print(kInfoBit, "Chain " + support::text_u32(chain.index) +
                                       " in chain-block 0 was grown with " + support::text_u32(n) +
                                       " blocks to " + support::text_size(chain.elements.size()) +
                                       " chain elements (" +
                                       support::text_u32(chain_capacity(chain)) + " pointers)");
}

void chain_copy(TsdbState& tsdb, PointerChain& dst, const PointerChain& src) {
  const std::uint32_t per_block = dst.layout.entries_per_block;
  const std::uint32_t dst_capacity = chain_capacity(dst);
  const std::uint32_t src_capacity = chain_capacity(src);
  if (dst_capacity < src_capacity) {
    tsdb.diagnostics.print(kInfoBit, "Allocating extra blocks needed to copy chain " +
                                         support::text_u32(src.index) + " into chain " +
                                         support::text_u32(dst.index));
    chain_grow(tsdb, dst, (src_capacity - dst_capacity + per_block - 1) / per_block);
  }
  copy_entries(dst, src);
  encode_descriptor_timestamp(descriptor_of(tsdb, dst),
                              decode_descriptor(descriptor_of(tsdb, src)).timestamp);
}

}  // namespace tsdb
