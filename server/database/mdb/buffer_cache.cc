// The buffer cache: up to `capacity` block images, the least recently used
// evicted first, found through an open-addressing index.
//
// Entries live in a vector and are linked into the recency list by their
// numbers, so an entry's number is its stable list position and the index
// maps block number to entry number. Invariants between calls:
// - every entry on the list is in the index under its block number, and
//   entries off the list (spares left by a failed load) are not;
// - count equals the length of the list and never exceeds the capacity;
// - a cached image reads as the block after every committed transaction:
//   it was overlaid with the unapplied commits when it was loaded and the
//   cache push copies every later commit into it. Nothing else writes it,
//   so eviction discards an image without writing it back.
#include "server/database/mdb/buffer_cache.h"

#include <cstring>

#include "server/database/mdb/database.h"
#include "server/database/mdb/engine_root.h"
#include "server/database/mdb/fatal_assertion.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/journal_scan.h"
#include "server/database/support/metrics_table.h"

namespace mdb {

namespace {

constexpr std::uint32_t kNoEntry = 0xFFFFFFFFu;

}  // namespace

// The engine root's part for the buffer cache.
class BlockCache : public CachedBlocks {
 public:
  BlockCache() { set_cached_blocks(this); }
  ~BlockCache() override { set_cached_blocks(nullptr); }
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  const std::uint8_t* get(std::uint32_t n) {
    drop_images_of_other_block_size();
    if (const std::optional<std::uint32_t> e = index_.find(n)) {
      Entry& entry = entries_[*e];
      if (entry.block != n) assertion_failed("Buffer cache corruption");
      unlink(*e);
      push_front(*e);
      meter::buffercache_hits.add();
      return entry.image.data();
    }
    meter::buffercache_misses.add();
    const std::uint32_t e = count_ == capacity_ ? evict_last() : free_entry();
    try {
      load(entries_[e], n);
    } catch (...) {
      spares_.push_back(e);
      throw;
    }
    push_front(e);
    index_.insert(n, e);
    set_count(count_ + 1);
    return entries_[e].image.data();
  }

  std::uint8_t* find_cached(std::uint32_t block) override {
    const std::optional<std::uint32_t> e = index_.find(block);
    return e ? entries_[*e].image.data() : nullptr;
  }

  void clear(std::uint32_t capacity) {
    entries_.clear();
    spares_.clear();
    head_ = tail_ = kNoEntry;
    index_.clear();
    capacity_ = capacity;
    block_size_ = 0;
    set_count(0);
  }

  BufferCacheStats stats() const { return {count_, capacity_, index_.stats()}; }

 private:
  struct Entry {
    std::uint32_t block = 0;
    std::uint32_t prev = kNoEntry;
    std::uint32_t next = kNoEntry;
    BlockCopy image;
  };

  // Images have the block size of the MDB they were read from; an MDB
  // opened later with another block size starts from an empty cache.
  void drop_images_of_other_block_size() {
    const std::uint32_t block_size = database().store.block_size();
    if (block_size_ == block_size) return;
    clear(capacity_);
    block_size_ = block_size;
    meter::buffercache_block_size = block_size;
  }

  void load(Entry& entry, std::uint32_t n) {
    entry.block = n;
    database().store.read_blocks(entry.image.data(), n, 1);
    overlay_loaded_block(entry.image.data(), block_size_, block_offset(n));
  }

  // Takes the least recently used entry off the list and out of the index;
  // its buffer is reused for the block being loaded.
  std::uint32_t evict_last() {
    const std::uint32_t e = tail_;
    index_.remove(entries_[e].block);
    unlink(e);
    set_count(count_ - 1);
    return e;
  }

  std::uint32_t free_entry() {
    if (!spares_.empty()) {
      const std::uint32_t e = spares_.back();
      spares_.pop_back();
      return e;
    }
    entries_.push_back(Entry{0, kNoEntry, kNoEntry, BlockCopy(block_size_)});
    return static_cast<std::uint32_t>(entries_.size() - 1);
  }

  void unlink(std::uint32_t e) {
    Entry& entry = entries_[e];
    (entry.prev == kNoEntry ? head_ : entries_[entry.prev].next) = entry.next;
    (entry.next == kNoEntry ? tail_ : entries_[entry.next].prev) = entry.prev;
    entry.prev = entry.next = kNoEntry;
  }

  void push_front(std::uint32_t e) {
    Entry& entry = entries_[e];
    entry.prev = kNoEntry;
    entry.next = head_;
    (head_ == kNoEntry ? tail_ : entries_[head_].prev) = e;
    head_ = e;
  }

  void set_count(std::uint32_t count) {
    count_ = count;
    meter::buffercache_block_count = count;
  }

  std::vector<Entry> entries_;
  std::vector<std::uint32_t> spares_;  // entries off the list, buffers kept
  std::uint32_t head_ = kNoEntry;      // most recently used
  std::uint32_t tail_ = kNoEntry;      // least recently used
  BlockCacheIndex index_;
  std::uint32_t count_ = 0;
  std::uint32_t capacity_ = kBufferCacheCapacity;
  std::uint32_t block_size_ = 0;  // of the cached images
};

namespace {

BlockCache& buffer_cache() { return engine_root().buffer_cache.get(); }

}  // namespace

const std::uint8_t* get_block(std::uint32_t n) { return buffer_cache().get(n); }

void copy_block(std::uint8_t* destination, std::uint32_t n) {
  std::memcpy(destination, get_block(n), database().store.block_size());
}

BlockCopy private_copy(std::uint32_t n) {
  BlockCopy copy(database().store.block_size());
  copy_block(copy.data(), n);
  overlay_private_copy(copy.data(), copy.size(), block_offset(n));
  return copy;
}

void reset_buffer_cache() { buffer_cache().clear(kBufferCacheCapacity); }

BufferCacheStats buffer_cache_stats() { return buffer_cache().stats(); }

bool block_cached(std::uint32_t n) { return buffer_cache().find_cached(n) != nullptr; }

void set_buffer_cache_capacity(std::uint32_t capacity) { buffer_cache().clear(capacity); }

}  // namespace mdb
