// Growing a chain replica and copying one replica into another.
//
// A replica grows by appending a new chain element at its end; the old last
// block is linked to the new run in memory (which makes that element dirty)
// while the new run is written to disk at once, zero entries and next
// pointer 0. A copy makes a destination replica hold the same entries as a
// source of the same kind, growing the destination first when it is
// smaller. Invariants:
//   - replicas only grow; an element, once appended, keeps its blocks;
//   - after chain_copy the destination's capacity equals the source's (the
//     current replica of a kind is always the largest of its kind);
//   - chain_copy changes the destination's buffers and its timestamp in the
//     header image only; nothing reaches the disk until the destination is
//     committed, except blocks that growth wrote.
#pragma once

#include <cstdint>

namespace tsdb {

class TsdbState;
struct PointerChain;

// Appends a chain element of n blocks to `chain`, growing the TSDB when no
// run of n free blocks is left. Prints the growth line under diagnostic
// bit 2. Fails with error_dbnospace (replica unchanged) when no run is free
// even after growth.
// REQUIRES: n >= 1; the store is open and the allocation state initialised.
void chain_grow(TsdbState& tsdb, PointerChain& chain, std::uint32_t n);

// Makes the entries of `dst` equal to those of `src` (growing dst first when
// it is smaller) and gives dst's descriptor in the header image the
// timestamp of src's; dst's first block and CRC stay, and the header image
// is not written. The copied entries are not marked dirty.
// REQUIRES: dst and src are different replicas of the same kind; the header
// exists.
void chain_copy(TsdbState& tsdb, PointerChain& dst, const PointerChain& src);

}  // namespace tsdb
