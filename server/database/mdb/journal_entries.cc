// Encoding and decoding of TBEG, TUPD, TEND and TRED entries.
#include "server/database/mdb/journal_entries.h"

#include <cstring>

#include "server/database/support/big_endian.h"
#include "server/database/support/hash.h"

namespace mdb {

namespace {

// An entry of two words: magic and one 32-bit value.
void encode_short_entry(std::uint8_t* p, std::uint32_t magic,
                        std::uint32_t value) {
  support::store_be32(p, magic);
  support::store_be32(p + 4, value);
}

}  // namespace

std::uint32_t entry_magic(const std::uint8_t* p) {
  return support::load_be32(p);
}

std::uint64_t update_entry_size(std::uint32_t n) {
  return (std::uint64_t{kTupdHeaderSize} + n + 7) / 8 * 8;
}

void encode_tbeg(std::uint8_t* p, std::uint64_t serial) {
  encode_short_entry(p, kTbegMagic, 0);
  support::store_be64(p + 8, serial);
}

std::uint64_t tbeg_serial(const std::uint8_t* p) {
  return support::load_be64(p + 8);
}

void encode_tupd(std::uint8_t* p, const void* data, std::uint32_t n,
                 std::uint64_t target) {
  encode_short_entry(p, kTupdMagic, n);
  support::store_be64(p + 8, target);
  support::store_be32(p + 16, 0);
  if (n != 0) std::memcpy(p + kTupdHeaderSize, data, n);
  const std::uint64_t padding = update_entry_size(n) - kTupdHeaderSize - n;
  std::memset(p + kTupdHeaderSize + n, 0, padding);
}

UpdateEntry decode_tupd(const std::uint8_t* p) {
  const std::uint32_t n = support::load_be32(p + 4);
  return {n, support::load_be64(p + 8), p + kTupdHeaderSize,
          update_entry_size(n)};
}

void encode_tend(std::uint8_t* p, std::uint32_t crc) {
  encode_short_entry(p, kTendMagic, crc);
}

std::uint32_t tend_crc(const std::uint8_t* p) { return support::load_be32(p + 4); }

void encode_tred(std::uint8_t* p, std::uint32_t continue_at) {
  encode_short_entry(p, kTredMagic, continue_at);
}

std::uint32_t tred_target(const std::uint8_t* p) {
  return support::load_be32(p + 4);
}

std::uint32_t transaction_crc(const std::uint8_t* tbeg,
                              std::size_t covered_length) {
  return security::crc32_of(tbeg, covered_length);
}

}  // namespace mdb
