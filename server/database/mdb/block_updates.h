// The updates logged for each MDB block since a point in the journal: the
// start of the open transaction, or the last checkpoint. Block copies take
// their updates from here instead of walking the journal.
//
// Invariant: for every block listed, `image` (when not empty) is the block
// as of every update logged before those in `pending`, which hold the
// journal offsets of the later ones in journal order. Bringing a copy up to
// date therefore costs one image copy and the pending updates, which are
// then folded into the image, so repeated copies of a block that a long
// transaction keeps changing stay cheap.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace mdb {

struct BlockUpdates {
  std::vector<std::uint8_t> image;     // empty until a copy made one
  std::vector<std::uint32_t> pending;  // journal offsets of update entries
};

using UpdatesByBlock = std::unordered_map<std::uint32_t, BlockUpdates>;

// Notes the update entry at journal offset `position`, covering MDB bytes
// [target, target + length), under every block it touches.
void note_update(UpdatesByBlock& updates, std::uint32_t position, std::uint64_t target,
                 std::uint32_t length, std::uint32_t block_size);

// Brings `buffer`, an image of block `block` as it stood at the point the
// updates start from, up to date with them.
// REQUIRES: buffer holds block_size bytes.
void bring_up_to_date(UpdatesByBlock& updates, std::uint32_t block, std::uint8_t* buffer,
                      std::uint32_t block_size);

// Whether `block` has a kept image (then its pending updates, folded in,
// give the whole block).
bool has_image(const UpdatesByBlock& updates, std::uint32_t block);

// Folds the pending updates of `entry`, the entry of `block`, into its
// image. REQUIRES: the entry has an image.
void fold_pending(BlockUpdates& entry, std::uint32_t block, std::uint32_t block_size);

// Moves the updates of a transaction that just committed (`open`) behind
// those already in `unapplied`, and empties `open`.
void merge_committed(UpdatesByBlock& open, UpdatesByBlock& unapplied, std::uint32_t block_size);

}  // namespace mdb
