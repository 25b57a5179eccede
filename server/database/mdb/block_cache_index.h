// The index of the buffer cache: an open-addressing hash table from block
// number to the position of the block's entry in the cache.
//
// Slots are empty, used or deleted. A key hashes by the multiplicative
// factor 0x9E3779B1 (taken modulo 2^32) modulo the table size, and
// collisions probe linearly, wrapping at the end. The table sizes are the
// largest primes below 2^9 .. 2^32. Invariants after every insert:
// used * 4 <= size (unless the largest size is reached), and
// used <= non-empty <= 3 * used, so a probe always meets an empty slot.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace mdb {

// The table sizes: the largest prime below 2^k for k = 9 .. 32.
inline constexpr std::array<std::uint32_t, 24> kCacheTableSizes = {
    509,      1021,     2039,      4093,      8191,      16381,      32749,      65521,
    131071,   262139,   524287,    1048573,   2097143,   4194301,    8388593,    16777213,
    33554393, 67108859, 134217689, 268435399, 536870909, 1073741789, 2147483647, 4294967291u};

class BlockCacheIndex {
 public:
  struct Stats {
    std::uint32_t size = 0;       // slots in the table
    std::uint32_t used = 0;       // slots holding a key
    std::uint32_t non_empty = 0;  // used plus deleted slots
    std::uint64_t rehashes = 0;
    std::uint64_t extra_probes = 0;  // probe steps of lookups past the first
  };

  BlockCacheIndex() { clear(); }

  // The position stored for `key`, if the key is present.
  std::optional<std::uint32_t> find(std::uint32_t key);
  // Enters `key` with `position`; a key already present keeps its slot and
  // position. Grows or cleans the table as the invariants above require.
  void insert(std::uint32_t key, std::uint32_t position);
  // Marks the key's slot deleted; false when the key is absent.
  bool remove(std::uint32_t key);
  // Back to an empty table of the first size.
  void clear();

  const Stats& stats() const { return stats_; }

 private:
  enum slot_state_t : std::uint8_t { slot_empty = 0, slot_used = 1, slot_deleted = 2 };
  struct Slot {
    slot_state_t state = slot_empty;
    std::uint32_t key = 0;
    std::uint32_t position = 0;
  };

  std::uint32_t home_slot(std::uint32_t key) const;
  std::uint32_t next_slot(std::uint32_t slot) const;
  // The used slot of `key`, or none.
  std::optional<std::uint32_t> slot_of(std::uint32_t key);
  void rehash(std::size_t size_index);

  std::vector<Slot> slots_;
  std::size_t size_index_ = 0;
  Stats stats_;
};

}  // namespace mdb
