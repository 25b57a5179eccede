// The serialization cache: appending property records to a block-sized
// buffer, dropping repeated ids, and refusing records that do not fit.
#include "server/database/mdb/serialization_cache.h"

#include <cstring>

#include "server/database/mdb/engine_root.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

SerializationCache::SerializationCache(std::uint32_t capacity) : buffer_(capacity, 0) {}

void SerializationCache::reset() {
  used_ = 0;
  ids_.clear();
}

void SerializationCache::add(const Property& property) {
  const std::uint32_t id = property.id();
  if (ids_.contains(id)) return;

  const std::uint64_t size = property.record_size();
  if (used_ + size > buffer_.size()) {
    throw error_bigobj("No space in serialization cache for property " + support::text_u32(id));
  }
  // The id is taken only once the record is stored, so that a property that
  // did not fit does not shadow a later one with the same id.
  ids_.insert(id);

  // Padding is zeroed so that no bytes of an earlier object end up in this
  // one.
  std::uint8_t* record = buffer_.data() + used_;
  std::memset(record, 0, size);
  property.serialize(record);
  used_ += static_cast<std::uint32_t>(size);
}

void SerializationCache::copy_out(std::uint8_t* destination) const {
  std::memcpy(destination, buffer_.data(), used_);
}

SerializationCache& serialization_cache() { return engine_root().serialization_cache.get(); }

void create_serialization_cache(std::uint32_t block_size) {
  serialization_cache() = SerializationCache(block_size);
}

}  // namespace mdb
