// Reading the property records of an object's bytes.
//
// An object is its 4-byte big-endian length word (the length includes the
// word; bit 0 belongs to the object layer and is masked off here) followed
// by its property records, back to back in the order they were added. A
// reader steps from offset 4 by each record's size word until it reaches
// the object length. Records are not sorted by id, and an id may in
// principle appear twice.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace mdb {

inline constexpr std::uint32_t kObjectLengthWordSize = 4;

struct PropertyRecord {
  std::uint32_t id = 0;
  std::uint32_t type_word = 0;          // type code, bit 31 the flag
  std::span<const std::uint8_t> bytes;  // the whole record, padding included
};

// The object's length from its first word, bit 0 masked off.
// REQUIRES: `object` holds at least 4 bytes.
std::uint32_t object_length(const std::uint8_t* object);

// Calls `visit` for each record in order and stops early when it returns
// false. Throws mdb::error_need_repair when the length word does not fit
// `object` or a record's size word is below the header size or runs past
// the object length; the records before the bad one have been visited.
void for_each_record(std::span<const std::uint8_t> object,
                     const std::function<bool(const PropertyRecord&)>& visit);

// All records, in order.
std::vector<PropertyRecord> object_records(std::span<const std::uint8_t> object);

// The last record with property id `id`, if any.
std::optional<PropertyRecord> find_record(std::span<const std::uint8_t> object, std::uint32_t id);

}  // namespace mdb
