// CRC-32 through zlib, whose crc32 computes the same published checksum
// (reflected polynomial 0xEDB88320, initial all ones, final complement) with
// slicing tables, several times faster than a byte-at-a-time table. zlib
// takes and returns the checksum itself, the complement of the running
// state kept here.
#include <zlib.h>

#include "server/database/support/big_endian.h"
#include "server/database/support/hash.h"

namespace security {

void Crc32::update_byte(std::uint8_t byte) { update(1, &byte); }

void Crc32::update(std::size_t length, const void* data) {
  state_ = ~static_cast<std::uint32_t>(
      ::crc32_z(value(), static_cast<const Bytef*>(data), static_cast<z_size_t>(length)));
}

void Crc32::final(std::uint8_t* out) { support::store_be32(out, value()); }

std::uint32_t crc32_of(const void* data, std::size_t length) {
  Crc32 crc;
  crc.update(length, data);
  return crc.value();
}

}  // namespace security
