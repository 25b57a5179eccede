// The table-driven CRC-32 (reflected polynomial 0xEDB88320). The table is
// computed at compile time; the running state starts at all ones and the
// checksum is its complement.
#include <array>

#include "server/database/support/big_endian.h"
#include "server/database/support/hash.h"

namespace security {

namespace {

constexpr std::array<std::uint32_t, 256> make_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kTable = make_table();

}  // namespace

void Crc32::update_byte(std::uint8_t byte) {
  state_ = kTable[(state_ ^ byte) & 0xFF] ^ (state_ >> 8);
}

void Crc32::update(std::size_t length, const void* data) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < length; ++i) update_byte(p[i]);
}

void Crc32::final(std::uint8_t* out) { support::store_be32(out, value()); }

std::uint32_t crc32_of(const void* data, std::size_t length) {
  Crc32 crc;
  crc.update(length, data);
  return crc.value();
}

}  // namespace security
