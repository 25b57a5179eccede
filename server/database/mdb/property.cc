// Record images of the property classes: header, value and the value-size
// rule of each class. The size rules are written for any value offset so
// that records stay 8-byte aligned; with the header size 12 they give
// records of 16 (word, enum, bool), 24 (node id) and 12+n+1 rounded up to a
// multiple of 8 (string of n characters).
#include "server/database/mdb/property.h"

#include <algorithm>
#include <cstring>

#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

namespace {

// (-x) mod 8 for an unsigned x: 2^32 is a multiple of 8, so wrapping
// subtraction gives the non-negative remainder.
std::uint32_t negative_mod8(std::uint32_t x) { return (0u - x) % 8u; }

}  // namespace

std::uint64_t Property::record_size() const {
  return round_up_to_8(std::uint64_t{kPropertyHeaderSize} + value_size(kPropertyHeaderSize));
}

void Property::serialize_header(std::uint8_t* record) const {
  support::store_be32(record, id_);
  support::store_be32(record + 4, static_cast<std::uint32_t>(record_size()));
  support::store_be32(record + 8, type_code() | (flag_ != 0 ? kPropertyFlagBit : 0u));
}

void Property::deserialize_header(std::span<const std::uint8_t> record, std::uint32_t value_bytes) {
  if (record.size() < kPropertyHeaderSize) {
    throw error_need_repair("Property record of " + support::text_size(record.size()) +
                            " bytes is shorter than its header");
  }
  id_ = support::load_be32(record.data());
  if (record.size() - kPropertyHeaderSize < value_bytes) {
    throw_record_too_short();
  }
}

void Property::throw_record_too_short() const {
  throw error_need_repair("Property " + support::text_u32(id_) + " record too short for its value");
}

std::uint32_t Property32::value_size(std::uint32_t value_offset) const {
  return (4u - value_offset) % 8u + 4u;
}

void Property32::serialize(std::uint8_t* record) const {
  serialize_header(record);
  support::store_be32(record + kPropertyHeaderSize, word_);
}

std::uint32_t Property32::deserialize(std::span<const std::uint8_t> record) {
  deserialize_header(record, 4);
  word_ = support::load_be32(record.data() + kPropertyHeaderSize);
  return id();
}

std::uint32_t PropertyString::value_size(std::uint32_t value_offset) const {
  // A string too long for a 32-bit size reports the largest size, which no
  // buffer holds.
  if (value_.size() >= 0xFFFFFFF8u) return 0xFFFFFFFF;
  const auto with_zero = static_cast<std::uint32_t>(value_.size() + 1);
  return with_zero + negative_mod8(with_zero + value_offset);
}

void PropertyString::serialize(std::uint8_t* record) const {
  serialize_header(record);
  std::uint8_t* value = record + kPropertyHeaderSize;
  std::memcpy(value, value_.data(), value_.size());
  value[value_.size()] = 0;
}

std::uint32_t PropertyString::deserialize(std::span<const std::uint8_t> record) {
  deserialize_header(record, 0);
  const auto value = record.subspan(kPropertyHeaderSize);
  const auto end = std::find(value.begin(), value.end(), std::uint8_t{0});
  if (end == value.end()) {
    throw_record_too_short();  // the terminating zero byte is missing
  }
  value_.assign(value.begin(), end);
  return id();
}

std::uint32_t PropertyNodeId::value_size(std::uint32_t value_offset) const {
  return negative_mod8(value_offset) + 8u;
}

void PropertyNodeId::serialize(std::uint8_t* record) const {
  serialize_header(record);
  support::store_be32(record + kPropertyHeaderSize, value_.first);
  support::store_be32(record + kPropertyHeaderSize + 4, value_.second);
}

std::uint32_t PropertyNodeId::deserialize(std::span<const std::uint8_t> record) {
  deserialize_header(record, 8);
  value_.first = support::load_be32(record.data() + kPropertyHeaderSize);
  value_.second = support::load_be32(record.data() + kPropertyHeaderSize + 4);
  return id();
}

std::uint32_t PropertyBool::value_size(std::uint32_t value_offset) const {
  return negative_mod8(value_offset + 1) + 1u;
}

void PropertyBool::serialize(std::uint8_t* record) const {
  serialize_header(record);
  record[kPropertyHeaderSize] = value_ ? 1 : 0;
}

std::uint32_t PropertyBool::deserialize(std::span<const std::uint8_t> record) {
  deserialize_header(record, 1);
  value_ = record[kPropertyHeaderSize] != 0;
  return id();
}

}  // namespace mdb
