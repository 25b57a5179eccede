// The serialization cache: where the property records of the object being
// written are assembled before the object layer stores them.
//
// Invariants: the first `used` bytes of the buffer are the records added
// since the last reset, back to back, in the order they were added; every
// record is a multiple of 8 bytes and its padding is zero; `used` never
// exceeds the capacity (one MDB block); the id set holds exactly the ids of
// the stored records, so a second property with an id already present is
// dropped and the first one stays.
//
// There is one cache per process, in the engine root (engine_root.h). It
// has capacity 0 until the MDB is started, so that a property added before
// then fails as not fitting. The cache is not reentrant.
#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <vector>

#include "server/database/mdb/property.h"

namespace mdb {

class SerializationCache {
 public:
  // A zero-filled buffer of `capacity` bytes.
  explicit SerializationCache(std::uint32_t capacity = 0);

  // Forgets the records added so far; the buffer keeps its bytes.
  void reset();

  // Appends the record of `property` unless its id was added since the last
  // reset. Throws mdb::error_bigobj when the record does not fit; the
  // records added before stay.
  void add(const Property& property);

  std::uint32_t used() const { return used_; }
  std::uint32_t capacity() const { return static_cast<std::uint32_t>(buffer_.size()); }

  // The records added since the last reset.
  std::span<const std::uint8_t> records() const { return {buffer_.data(), used_}; }

  // Copies the records to `destination`, which is where they go in an
  // object: directly behind its 4-byte length word.
  // REQUIRES: `destination` has room for used() bytes.
  void copy_out(std::uint8_t* destination) const;

 private:
  std::vector<std::uint8_t> buffer_;
  std::uint32_t used_ = 0;
  std::set<std::uint32_t> ids_;
};

// The process-wide cache.
SerializationCache& serialization_cache();

// Gives the process-wide cache a fresh zero-filled buffer of one MDB block.
// Called when the MDB is started, once its block size is known.
void create_serialization_cache(std::uint32_t block_size);

}  // namespace mdb
