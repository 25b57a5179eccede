// The four kinds of journal entries, as encoders and decoders over raw
// journal bytes, and the checksum rule of a transaction.
//
// Every entry starts on a multiple of 8 and its size is a multiple of 8.
// A transaction is one TBEG, any number of TUPD and one TEND, back to back.
// Its CRC-32 covers the TBEG and every TUPD in full (padding included, as
// the bytes stand in the journal), which is exactly the contiguous run of
// bytes from the TBEG up to the TEND; the TEND and TRED are not covered.
//
// The encoders write every byte of the entry, zeroing the undefined word of
// a TBEG and the padding of a TUPD, so that a journal's bytes depend only on
// what was logged.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mdb {

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
void encode_tupd(std::uint8_t* p, const void* data, std::uint32_t n,
                 std::uint64_t target);

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
std::uint32_t transaction_crc(const std::uint8_t* tbeg,
                              std::size_t covered_length);

}  // namespace mdb
