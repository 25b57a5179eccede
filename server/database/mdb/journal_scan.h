// The walks over the journal that carry committed transactions onward: into
// the MDB file (checkpoint), into the buffer cache (cache push) and into
// block images that were just read (loaded block, private copy). The replay
// at open uses the same walk (replay.h).
//
// Every walk starts at the index pointer of the current half plus one of
// the progress marks of the transaction state, takes transactions until its
// count reaches a limit, and applies each update of a taken transaction.
// A running walk that meets a transaction of another turn throws, since the
// current turn holds only its own transactions up to the committed count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "server/database/mdb/journal_format.h"

namespace mdb {

// What the cache push needs from the buffer cache: the image of block n if
// it is cached, else null (no loading). The buffer cache registers itself
// with set_cached_blocks; with none registered the cache push only advances
// its marks.
class CachedBlocks {
 public:
  virtual ~CachedBlocks() = default;
  virtual std::uint8_t* find_cached(std::uint32_t block) = 0;
};

// Registers the buffer cache (null to unregister). The object must outlive
// its registration.
void set_cached_blocks(CachedBlocks* cache);

// Checkpoint: writes the committed, not yet applied transactions of the
// current turn into the MDB file and advances the applied marks.
void apply_committed();

// Cache push: copies the newly committed transactions into every cached
// block they touch and advances the cache marks.
void push_commits_to_cache();

// Overlays a block image just read from the MDB file (covering MDB bytes
// [offset, offset + length), one whole block) with the committed
// transactions the checkpoint has not yet applied (found through
// TransactionState::unapplied_updates).
void overlay_loaded_block(std::uint8_t* buffer, std::size_t length, std::uint64_t offset);

// Overlays a private block copy taken from the cache (one whole block) with
// the updates the cache does not hold yet, including those of the open
// transaction (found through TransactionState::open_updates).
void overlay_private_copy(std::uint8_t* buffer, std::size_t length, std::uint64_t offset);

// Copies the part of `update` that falls into a buffer covering MDB bytes
// [offset, offset + length); does nothing when they do not overlap.
void copy_update_into(std::uint8_t* buffer, std::size_t length, std::uint64_t offset,
                      const UpdateEntry& update);

// The general walk, shared with the replay at open.
struct ScanPlan {
  std::uint32_t start = 0;             // journal offset of the first entry
  std::uint64_t serial = 0;            // serial expected in the TBEGs
  std::uint32_t count = 0;             // transactions counted so far
  std::optional<std::uint32_t> limit;  // stop when count reaches it
  // Replay at open: verify each transaction's CRC, and end quietly (with a
  // diagnostic) at a stale, torn or truncated transaction instead of
  // throwing.
  bool at_open = false;
};

struct ScanResult {
  std::uint32_t end = 0;     // journal offset where the walk stopped
  std::uint32_t count = 0;   // count reached
  std::uint64_t serial = 0;  // serial expected at the end
};

using UpdateAction = std::function<void(const UpdateEntry&)>;

ScanResult scan_journal(const ScanPlan& plan, const UpdateAction& action);

// Writes an update's bytes into the MDB file; past the store's end only
// with may_extend (the replay at open).
void write_update(const UpdateEntry& update, bool may_extend);

}  // namespace mdb
