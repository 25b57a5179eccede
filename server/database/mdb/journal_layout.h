// The layout of the journal region: the 48-byte journal header with its two
// CRC-protected index pointers, and the two halves that take turns.
//
// The region of Lj bytes is split at H = Lj / 2. The lower half's entries
// start right after the header, the upper half's at H rounded up to 8. Each
// half keeps its last 8 bytes (and any bytes lost to rounding) free, so a
// redirection entry always fits after the last transaction of a turn.
#pragma once

#include <cstdint>

namespace mdb {

inline constexpr std::uint32_t kJournalMagic = 0x4A484452;  // "JHDR"
inline constexpr std::uint32_t kJournalVersion = 1;
inline constexpr std::uint32_t kJournalHeaderSize = 48;
inline constexpr std::uint32_t kIndexPointerOffset = 16;
inline constexpr std::uint32_t kIndexPointerSize = 16;
inline constexpr std::uint32_t kEntryAlignment = 8;

struct HalfBounds {
  std::uint32_t start;       // journal offset of the half's first entry
  std::uint32_t usable_end;  // entries must end by this offset
};

// Bounds of half 0 (lower) or 1 (upper) of a region of `journal_length`
// bytes. In a region too small to hold anything the usable end is not above
// the start.
HalfBounds half_bounds(std::uint32_t journal_length, std::uint32_t half);

// True when `position` lies in the given half: below H for the lower half,
// at or above H for the upper one.
bool position_in_half(std::uint32_t journal_length, std::uint32_t half,
                      std::uint32_t position);

// An index pointer: the serial of the turn that uses a half and the journal
// offset of that turn's first entry.
struct IndexPointer {
  std::uint64_t serial = 0;
  std::uint32_t start = 0;
};

// Writes the 16 pointer bytes: serial, start and the CRC-32 of those 12.
void encode_index_pointer(std::uint8_t* p, const IndexPointer& pointer);
IndexPointer decode_index_pointer(const std::uint8_t* p);
// True when the CRC field matches the first 12 bytes.
bool pointer_valid(const std::uint8_t* p);

// Writes a fresh journal header: magic, version 1, the reserved word 0 and
// both pointers at serial 0, start 0. Bytes 12..15 are left as they are.
// REQUIRES: p holds kJournalHeaderSize bytes.
void encode_fresh_journal_header(std::uint8_t* p);

}  // namespace mdb
