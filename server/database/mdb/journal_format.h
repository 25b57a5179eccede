// The bytes of the MDB journal: the 48-byte journal header with its two
// CRC-protected index pointers, the two halves that take turns, the four
// kinds of entries and the checksum rule of a transaction.
//
// This file owns these layout decisions; the engine and the checker encode
// and decode journal bytes through it. Invariants kept here:
//   - every entry starts on a multiple of 8 and its size is a multiple of 8;
//   - the region of Lj bytes is split at H = Lj / 2; the lower half's
//     entries start right after the header, the upper half's at H rounded up
//     to 8; each half keeps its last 8 bytes (and any bytes lost to rounding)
//     free, so a redirection entry always fits after the last transaction of
//     a turn;
//   - a transaction is one TBEG, any number of TUPD and one TEND, back to
//     back; its CRC-32 covers the TBEG and every TUPD in full (padding
//     included, as the bytes stand in the journal), which is exactly the
//     contiguous run of bytes from the TBEG up to the TEND; the TEND and TRED
//     are not covered;
//   - the encoders write every byte of an entry, zeroing the undefined word
//     of a TBEG and the padding of a TUPD, so that a journal's bytes depend
//     only on what was logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace mdb {

// ---- Journal header and halves ----

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
bool position_in_half(std::uint32_t journal_length, std::uint32_t half, std::uint32_t position);

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

// The index pointer a replay starts from, given the journal header at
// `header`: the valid one with the higher serial; on equal serials pointer 1
// unless pointer 0 has a start position (a fresh journal has two pointers at
// serial 0, start 0). A damaged pointer 0 leaves pointer 1 as the only
// choice, whatever pointer 0's bytes say. Empty when neither is valid.
// REQUIRES: header holds kJournalHeaderSize bytes.
std::optional<std::uint32_t> choose_pointer(const std::uint8_t* header);

// ---- Entries ----

inline constexpr std::uint32_t kTbegMagic = 0x54424547;  // "TBEG"
inline constexpr std::uint32_t kTupdMagic = 0x54555044;  // "TUPD"
inline constexpr std::uint32_t kTendMagic = 0x54454E44;  // "TEND"
inline constexpr std::uint32_t kTredMagic = 0x54524544;  // "TRED"

inline constexpr std::uint32_t kTbegSize = 16;
inline constexpr std::uint32_t kTupdHeaderSize = 20;
inline constexpr std::uint32_t kTendSize = 8;
inline constexpr std::uint32_t kTredSize = 8;

// The 32-bit magic at the start of the entry at p.
std::uint32_t entry_magic(const std::uint8_t* p);

// Size of an update entry carrying n data bytes: 20 + n rounded up to 8.
// Computed in 64 bits so that no n overflows.
std::uint64_t update_entry_size(std::uint32_t n);

// REQUIRES: p holds kTbegSize bytes.
void encode_tbeg(std::uint8_t* p, std::uint64_t serial);
std::uint64_t tbeg_serial(const std::uint8_t* p);

// REQUIRES: p holds update_entry_size(n) bytes; data holds n bytes.
void encode_tupd(std::uint8_t* p, const void* data, std::uint32_t n, std::uint64_t target);

struct UpdateEntry {
  std::uint32_t data_length;  // n
  std::uint64_t target;       // byte offset in the MDB file
  const std::uint8_t* data;   // the n data bytes, inside the entry
  std::uint64_t size;         // the whole entry, padding included
};

// REQUIRES: entry_magic(p) == kTupdMagic and the header's 20 bytes readable.
UpdateEntry decode_tupd(const std::uint8_t* p);

// REQUIRES: p holds kTendSize bytes.
void encode_tend(std::uint8_t* p, std::uint32_t crc);
std::uint32_t tend_crc(const std::uint8_t* p);

// REQUIRES: p holds kTredSize bytes.
void encode_tred(std::uint8_t* p, std::uint32_t continue_at);
std::uint32_t tred_target(const std::uint8_t* p);

// The CRC-32 of a transaction whose TBEG is at `tbeg` and whose TEND
// follows `covered_length` bytes later.
std::uint32_t transaction_crc(const std::uint8_t* tbeg, std::size_t covered_length);

}  // namespace mdb
