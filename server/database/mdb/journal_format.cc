// Encoding and decoding the journal header, its index pointers and the
// TBEG, TUPD, TEND and TRED entries; the bounds of the two halves.
#include "server/database/mdb/journal_format.h"

#include <cstring>

#include "server/database/support/big_endian.h"
#include "server/database/support/hash.h"

namespace mdb {

namespace {

constexpr std::uint32_t kPointerCrcCovered = 12;

std::uint32_t round_down8(std::uint32_t v) { return v - v % kEntryAlignment; }

std::uint32_t round_up8(std::uint32_t v) { return round_down8(v + kEntryAlignment - 1); }

// The usable end of a half that ends at `half_end`: 8 bytes kept free,
// rounded down to the entry alignment.
std::uint32_t usable_end_before(std::uint32_t half_end) {
  return half_end < kEntryAlignment ? 0 : round_down8(half_end - kEntryAlignment);
}

// An entry of two words: magic and one 32-bit value.
void encode_short_entry(std::uint8_t* p, std::uint32_t magic, std::uint32_t value) {
  support::store_be32(p, magic);
  support::store_be32(p + 4, value);
}

}  // namespace

HalfBounds half_bounds(std::uint32_t journal_length, std::uint32_t half) {
  const std::uint32_t h = journal_length / 2;
  if (half == 0) return {kJournalHeaderSize, usable_end_before(h)};
  const std::uint32_t start = round_up8(h);
  return {start < kJournalHeaderSize ? kJournalHeaderSize : start,
          usable_end_before(journal_length)};
}

bool position_in_half(std::uint32_t journal_length, std::uint32_t half, std::uint32_t position) {
  const std::uint32_t h = journal_length / 2;
  return half == 0 ? position < h : position >= h;
}

void encode_index_pointer(std::uint8_t* p, const IndexPointer& pointer) {
  support::store_be64(p, pointer.serial);
  support::store_be32(p + 8, pointer.start);
  support::store_be32(p + kPointerCrcCovered, security::crc32_of(p, kPointerCrcCovered));
}

IndexPointer decode_index_pointer(const std::uint8_t* p) {
  return {support::load_be64(p), support::load_be32(p + 8)};
}

bool pointer_valid(const std::uint8_t* p) {
  return support::load_be32(p + kPointerCrcCovered) == security::crc32_of(p, kPointerCrcCovered);
}

void encode_fresh_journal_header(std::uint8_t* p) {
  support::store_be32(p, kJournalMagic);
  support::store_be32(p + 4, kJournalVersion);
  support::store_be32(p + 8, 0);
  for (std::uint32_t i = 0; i < 2; ++i) {
    encode_index_pointer(p + kIndexPointerOffset + i * kIndexPointerSize, {});
  }
}

std::optional<std::uint32_t> choose_pointer(const std::uint8_t* header) {
  const std::uint8_t* p0 = header + kIndexPointerOffset;
  const std::uint8_t* p1 = p0 + kIndexPointerSize;
  const bool valid0 = pointer_valid(p0);
  const IndexPointer pointer0 = decode_index_pointer(p0);
  std::optional<std::uint32_t> choice;
  if (valid0) choice = 0;
  if (pointer_valid(p1)) {
    const std::uint64_t serial1 = decode_index_pointer(p1).serial;
    if (!valid0 || serial1 > pointer0.serial ||
        (serial1 == pointer0.serial && pointer0.start == 0)) {
      choice = 1;
    }
  }
  return choice;
}

std::uint32_t entry_magic(const std::uint8_t* p) { return support::load_be32(p); }

std::uint64_t update_entry_size(std::uint32_t n) {
  return (std::uint64_t{kTupdHeaderSize} + n + 7) / 8 * 8;
}

void encode_tbeg(std::uint8_t* p, std::uint64_t serial) {
  encode_short_entry(p, kTbegMagic, 0);
  support::store_be64(p + 8, serial);
}

std::uint64_t tbeg_serial(const std::uint8_t* p) { return support::load_be64(p + 8); }

void encode_tupd(std::uint8_t* p, const void* data, std::uint32_t n, std::uint64_t target) {
  encode_short_entry(p, kTupdMagic, n);
  support::store_be64(p + 8, target);
  support::store_be32(p + 16, 0);
  if (n != 0) std::memcpy(p + kTupdHeaderSize, data, n);
  const std::uint64_t padding = update_entry_size(n) - kTupdHeaderSize - n;
  std::memset(p + kTupdHeaderSize + n, 0, padding);
}

UpdateEntry decode_tupd(const std::uint8_t* p) {
  const std::uint32_t n = support::load_be32(p + 4);
  return {n, support::load_be64(p + 8), p + kTupdHeaderSize, update_entry_size(n)};
}

void encode_tend(std::uint8_t* p, std::uint32_t crc) { encode_short_entry(p, kTendMagic, crc); }

std::uint32_t tend_crc(const std::uint8_t* p) { return support::load_be32(p + 4); }

void encode_tred(std::uint8_t* p, std::uint32_t continue_at) {
  encode_short_entry(p, kTredMagic, continue_at);
}

std::uint32_t tred_target(const std::uint8_t* p) { return support::load_be32(p + 4); }

std::uint32_t transaction_crc(const std::uint8_t* tbeg, std::size_t covered_length) {
  return security::crc32_of(tbeg, covered_length);
}

}  // namespace mdb
