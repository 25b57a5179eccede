// The buffer cache: images of recently used MDB blocks as they read after
// all committed transactions (the file's bytes overlaid with the committed
// transactions the checkpoint has not copied yet).
//
// It is a read cache. Only the cache push of a commit changes a cached
// image; eviction writes nothing back. Callers that change a block take a
// private copy, change the copy and log the change (transaction.h).
#pragma once

#include <cstdint>
#include <vector>

#include "server/database/mdb/block_cache_index.h"

namespace mdb {

// A caller-owned copy of one MDB block (B bytes).
using BlockCopy = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kBufferCacheCapacity = 8192;

// The cached image of block n, loaded on a miss. Valid until the next call
// into the cache. REQUIRES: the MDB is open; n lies inside the store.
const std::uint8_t* get_block(std::uint32_t n);

// Copies the B bytes of get_block(n) into `destination`.
void copy_block(std::uint8_t* destination, std::uint32_t n);

// A private copy of block n: the committed state plus the updates of the
// open transaction.
BlockCopy private_copy(std::uint32_t n);

// Empties the cache (for tests and for a new open in the same process) and
// gives it its normal capacity again.
void reset_buffer_cache();

// What the cache holds, for tests and diagnostics.
struct BufferCacheStats {
  std::uint32_t count = 0;     // cached blocks
  std::uint32_t capacity = 0;  // blocks it holds before it evicts
  BlockCacheIndex::Stats index;
};
BufferCacheStats buffer_cache_stats();

// True when block n is cached; loads nothing and changes no recency.
bool block_cached(std::uint32_t n);

// Empties the cache and gives it room for `capacity` blocks (tests use
// small caches to reach eviction quickly). REQUIRES: capacity > 0.
void set_buffer_cache_capacity(std::uint32_t capacity);

}  // namespace mdb
