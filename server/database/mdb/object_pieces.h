// The pieces of an object block: objects and placeholders back to back from
// offset 0 to the block's end, each starting with a 32-bit big-endian
// header whose bits 31..1 give the piece length (header included) and whose
// bit 0 marks a placeholder (free space).
//
// These helpers read and write piece headers in a block copy; they never
// log anything. A header below 2 is a corrupt zero-length piece: walkers
// stop at it instead of looping.
#pragma once

#include <cstdint>
#include <optional>

#include "server/database/mdb/buffer_cache.h"
#include "server/database/support/big_endian.h"

namespace mdb {

// An object's working handle: where it is and a private copy of its block.
struct dobj {
  std::uint32_t block = 0;
  std::uint32_t offset = 0;
  BlockCopy data;
};

inline constexpr std::uint32_t kPieceHeaderSize = 4;
inline constexpr std::uint32_t kPlaceholderBit = 1;

inline std::uint32_t piece_length(std::uint32_t header) { return header & ~kPlaceholderBit; }
inline bool is_placeholder(std::uint32_t header) { return (header & kPlaceholderBit) != 0; }

// REQUIRES: offset + 4 <= the block size of `data`.
inline std::uint32_t piece_header(const std::uint8_t* data, std::uint32_t offset) {
  return support::load_be32(data + offset);
}
inline void set_piece_header(std::uint8_t* data, std::uint32_t offset, std::uint32_t header) {
  support::store_be32(data + offset, header);
}

// The header of the piece `object` stands at, in its block copy.
inline std::uint32_t piece_header(const dobj& object) {
  return piece_header(object.data.data(), object.offset);
}

// Calls visit(offset, header) for each piece of a block image of
// `block_size` bytes from offset 0 while it returns true. A header below 2
// (a piece without length) is visited and ends the walk, since the walk
// cannot pass it; so does a piece that would run past the block's end.
template <typename Visit>
void walk_pieces(const std::uint8_t* data, std::uint32_t block_size, Visit&& visit) {
  for (std::uint32_t offset = 0; offset + kPieceHeaderSize <= block_size;) {
    const std::uint32_t header = piece_header(data, offset);
    if (!visit(offset, header) || header < 2) return;
    if (piece_length(header) > block_size - offset) return;
    offset += piece_length(header);
  }
}

// Logs the 4 header bytes of the piece at `offset` of the copy of `block`
// in the open transaction.
void log_piece_header(std::uint32_t block, const std::uint8_t* data, std::uint32_t offset);

// The offset of the last placeholder that starts before `offset`, walking
// the pieces from 0. A zero-length piece ends the walk early (with a
// diagnostic naming `block`); what was found up to there is the answer.
std::optional<std::uint32_t> placeholder_before(std::uint32_t block, const std::uint8_t* data,
                                                std::uint32_t offset);

}  // namespace mdb
