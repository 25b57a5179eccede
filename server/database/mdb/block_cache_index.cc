// The buffer cache's open-addressing hash table.
//
// Removing a key leaves a deleted slot behind, so that probes for keys
// stored beyond it still find them; deleted slots count as non-empty until
// the next rehash drops them. An insert rehashes into the next size when
// the table is more than a quarter used, and at the same size when deleted
// slots outnumber twice the used ones.
#include "server/database/mdb/block_cache_index.h"

#include "server/database/mdb/fatal_assertion.h"

namespace mdb {

namespace {

constexpr std::uint32_t kHashFactor = 0x9E3779B1u;

}  // namespace

std::uint32_t BlockCacheIndex::home_slot(std::uint32_t key) const {
  const std::uint32_t hash = key * kHashFactor;  // wraps modulo 2^32
  return static_cast<std::uint32_t>(hash % slots_.size());
}

std::uint32_t BlockCacheIndex::next_slot(std::uint32_t slot) const {
  return slot + 1 == slots_.size() ? 0 : slot + 1;
}

std::optional<std::uint32_t> BlockCacheIndex::slot_of(std::uint32_t key) {
  std::uint32_t slot = home_slot(key);
  while (slots_[slot].state != slot_empty) {
    if (slots_[slot].state == slot_used && slots_[slot].key == key) return slot;
    slot = next_slot(slot);
    stats_.extra_probes += 1;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> BlockCacheIndex::find(std::uint32_t key) {
  const std::optional<std::uint32_t> slot = slot_of(key);
  if (!slot) return std::nullopt;
  return slots_[*slot].position;
}

void BlockCacheIndex::insert(std::uint32_t key, std::uint32_t position) {
  std::uint32_t slot = home_slot(key);
  std::optional<std::uint32_t> free_slot;
  while (slots_[slot].state != slot_empty) {
    if (slots_[slot].state == slot_used) {
      if (slots_[slot].key == key) return;
    } else if (!free_slot) {
      free_slot = slot;
    }
    slot = next_slot(slot);
  }
  if (!free_slot) {
    free_slot = slot;
    stats_.non_empty += 1;
  }
  slots_[*free_slot] = {slot_used, key, position};
  stats_.used += 1;

  if (std::uint64_t{stats_.used} * 4 > slots_.size() && size_index_ + 1 < kCacheTableSizes.size()) {
    rehash(size_index_ + 1);
  } else if (stats_.non_empty > std::uint64_t{stats_.used} * 3) {
    rehash(size_index_);
  }
  if (stats_.non_empty < stats_.used) assertion_failed("accounting failure");
}

bool BlockCacheIndex::remove(std::uint32_t key) {
  const std::optional<std::uint32_t> slot = slot_of(key);
  if (!slot) return false;
  slots_[*slot].state = slot_deleted;
  stats_.used -= 1;
  return true;
}

void BlockCacheIndex::clear() {
  slots_.assign(kCacheTableSizes[0], Slot{});
  size_index_ = 0;
  stats_ = Stats{};
  stats_.size = kCacheTableSizes[0];
}

void BlockCacheIndex::rehash(std::size_t size_index) {
  std::vector<Slot> old(kCacheTableSizes[size_index]);
  old.swap(slots_);
  size_index_ = size_index;
  stats_.size = kCacheTableSizes[size_index];
  for (const Slot& s : old) {
    if (s.state != slot_used) continue;
    std::uint32_t slot = home_slot(s.key);
    while (slots_[slot].state != slot_empty) slot = next_slot(slot);
    slots_[slot] = s;
  }
  stats_.non_empty = stats_.used;
  stats_.rehashes += 1;
}

}  // namespace mdb
