// Half bounds, index pointers and the fresh journal header.
#include "server/database/mdb/journal_layout.h"

#include "server/database/support/big_endian.h"
#include "server/database/support/hash.h"

namespace mdb {

namespace {

constexpr std::uint32_t kPointerCrcCovered = 12;

std::uint32_t round_down8(std::uint32_t v) { return v - v % kEntryAlignment; }

std::uint32_t round_up8(std::uint32_t v) {
  return round_down8(v + kEntryAlignment - 1);
}

// The usable end of a half that ends at `half_end`: 8 bytes kept free,
// rounded down to the entry alignment.
std::uint32_t usable_end_before(std::uint32_t half_end) {
  return half_end < kEntryAlignment ? 0 : round_down8(half_end - kEntryAlignment);
}

}  // namespace

HalfBounds half_bounds(std::uint32_t journal_length, std::uint32_t half) {
  const std::uint32_t h = journal_length / 2;
  if (half == 0) return {kJournalHeaderSize, usable_end_before(h)};
  const std::uint32_t start = round_up8(h);
  return {start < kJournalHeaderSize ? kJournalHeaderSize : start,
          usable_end_before(journal_length)};
}

bool position_in_half(std::uint32_t journal_length, std::uint32_t half,
                      std::uint32_t position) {
  const std::uint32_t h = journal_length / 2;
  return half == 0 ? position < h : position >= h;
}

void encode_index_pointer(std::uint8_t* p, const IndexPointer& pointer) {
  support::store_be64(p, pointer.serial);
  support::store_be32(p + 8, pointer.start);
  support::store_be32(p + kPointerCrcCovered,
                      security::crc32_of(p, kPointerCrcCovered));
}

IndexPointer decode_index_pointer(const std::uint8_t* p) {
  return {support::load_be64(p), support::load_be32(p + 8)};
}

bool pointer_valid(const std::uint8_t* p) {
  return support::load_be32(p + kPointerCrcCovered) ==
         security::crc32_of(p, kPointerCrcCovered);
}

void encode_fresh_journal_header(std::uint8_t* p) {
  support::store_be32(p, kJournalMagic);
  support::store_be32(p + 4, kJournalVersion);
  support::store_be32(p + 8, 0);
  for (std::uint32_t i = 0; i < 2; ++i) {
    encode_index_pointer(p + kIndexPointerOffset + i * kIndexPointerSize, {});
  }
}

}  // namespace mdb
