// The process-wide state of the transaction layer, kept beside the journal
// cursor (write position, half, serial) in the one open database.
//
// Offsets here are relative to the start position of the current turn, so
// a flip, which starts a new turn, resets every count and offset to 0. The
// three progress marks always satisfy
//   applied count <= committed count and cache count <= committed count,
// and the cache marks equal the committed count after every commit.
#pragma once

#include <cstdint>
#include <vector>

#include "server/database/mdb/block_updates.h"
#include "server/database/support/hash.h"

namespace mdb {

// One open transaction: where its begin stood and the running checksum at
// that moment.
struct TransactionRecord {
  std::uint32_t position = 0;
  security::Crc32 crc;
};

struct TransactionState {
  std::uint32_t committed_count = 0;  // TENDs written in the current turn
  // How far the checkpoint has copied the turn into the MDB file.
  std::uint32_t applied_offset = 0;
  std::uint32_t applied_count = 0;
  // How far the commits have been copied into the buffer cache.
  std::uint32_t cache_offset = 0;
  std::uint32_t cache_count = 0;
  // Whole seconds of the clock at the last journal sync of a commit or a
  // checkpoint.
  std::uint32_t last_sync_second = 0;
  std::vector<TransactionRecord> stack;  // innermost last
  security::Crc32 running_crc;           // of the outermost transaction
  // End of the last committed transaction (after its TEND).
  std::uint32_t committed_offset = 0;
  // The updates of the open transaction (empty when none is open) and
  // those of the committed transactions the checkpoint has not yet
  // applied, by block: block copies take their updates from here.
  UpdatesByBlock open_updates;
  UpdatesByBlock unapplied_updates;

  // Back to the state of a new turn: no progress, nothing open.
  void reset_progress() {
    committed_count = committed_offset = applied_offset = applied_count = 0;
    cache_offset = cache_count = 0;
    unapplied_updates.clear();
  }
};

}  // namespace mdb
