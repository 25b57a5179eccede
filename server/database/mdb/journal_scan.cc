// The journal walk and its running variants: checkpoint, cache push and
// the two overlays.
//
// The walk reads each transaction twice: once to find its end (and, at
// open, to check its CRC) and once to apply its updates, so that nothing of
// a transaction is applied unless all of it is there. Every entry is tested
// against the length of the journal before its bytes are read. A running
// walk treats anything unexpected as a fault of the engine and throws; the
// walk of the replay at open ends quietly at the first entry that is not a
// complete, current transaction, since that is where the previous run
// stopped writing.
#include "server/database/mdb/journal_scan.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/journal_format.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

namespace {

CachedBlocks*& registered_cache() {
  static CachedBlocks* cache = nullptr;
  return cache;
}

class Walk {
 public:
  Walk(const ScanPlan& plan, const UpdateAction& action)
      : plan_(plan), action_(action), journal_(database().journal) {}

  ScanResult run() {
    ScanResult r{plan_.start, plan_.count, plan_.serial};
    if (limit_reached(r.count)) return r;
    journal_.entry_at(r.end);  // the start must lie inside the journal
    bool redirected = false;
    for (;;) {
      const std::uint8_t* p = entry(r.end, kTendSize);
      const std::uint32_t magic = p == nullptr ? 0 : entry_magic(p);
      if (magic == kTbegMagic) {
        if (!take_transaction(r)) return r;
        if (limit_reached(r.count)) return r;
      } else if (magic == kTredMagic) {
        if (!follow_redirection(p, redirected, r)) return r;
      } else {
        if (plan_.at_open) {
          diagnostic(kDiagInfo, "End of valid transaction-begin entries in journal.");
        }
        return r;
      }
    }
  }

 private:
  bool limit_reached(std::uint32_t count) const { return plan_.limit && count >= *plan_.limit; }

  // The `size` bytes at `pos`. When they do not lie wholly in the journal a
  // running walk fails; the walk at open gets null.
  const std::uint8_t* entry(std::uint64_t pos, std::uint64_t size) const {
    if (pos + size <= journal_.length()) return journal_.entry_at(pos);
    if (plan_.at_open) return nullptr;
    throw error_range("Access beyond end of journal attempted");
  }

  bool take_transaction(ScanResult& r) {
    const std::uint8_t* tbeg = entry(r.end, kTbegSize);
    if (tbeg == nullptr) return end_of_updates();
    const std::uint64_t serial = tbeg_serial(tbeg);
    if (serial != r.serial) {
      diagnostic(kDiagTrace, "Transaction serial: " + support::text_u64(serial) +
                                 " current transaction serial: " + support::text_u64(r.serial));
      if (!plan_.at_open) {
        throw error_internal("Stale transaction found in running journal");
      }
      diagnostic(kDiagInfo, "Found stale transaction in journal - end of replay.");
      return false;
    }
    const std::uint64_t first = r.end + kTbegSize;
    const std::optional<std::uint64_t> q = updates_end(first);
    const std::uint8_t* tend = q ? entry(*q, kTendSize) : nullptr;
    if (tend == nullptr || entry_magic(tend) != kTendMagic) {
      return end_of_updates();
    }
    if (plan_.at_open && transaction_crc(tbeg, *q - r.end) != tend_crc(tend)) {
      diagnostic(kDiagInfo, "Invalid CRC in transaction - no more valid entries.");
      return false;
    }
    const std::uint64_t next = *q + kTendSize;
    apply_updates(first, *q);
    r.end = static_cast<std::uint32_t>(next);
    r.count += 1;
    return true;
  }

  bool end_of_updates() const {
    diagnostic(kDiagInfo, "End of valid update entries in journal.");
    diagnostic(kDiagInfo, "End of valid transaction end entries in journal.");
    return false;
  }

  // The offset of the first entry after the run of TUPDs that starts at
  // `pos`; null when an update leaves the journal (at open only).
  std::optional<std::uint64_t> updates_end(std::uint64_t pos) const {
    for (;;) {
      const std::uint8_t* p = entry(pos, kTendSize);
      if (p == nullptr) return std::nullopt;
      if (entry_magic(p) != kTupdMagic) return pos;
      p = entry(pos, kTupdHeaderSize);
      if (p == nullptr) return std::nullopt;
      const std::uint64_t size = decode_tupd(p).size;
      if (entry(pos, size) == nullptr) return std::nullopt;
      pos += size;
    }
  }

  // The second reading: the entries found by updates_end must still be
  // there, with the same lengths.
  void apply_updates(std::uint64_t pos, std::uint64_t end) const {
    while (pos < end) {
      const std::uint8_t* p = journal_.entry_at(pos);
      if (entry_magic(p) != kTupdMagic) {
        throw error_io("Update entry in log changed between reads!");
      }
      const UpdateEntry update = decode_tupd(p);
      pos += update.size;
      if (pos > end) {
        throw error_io("Update entry in log changed length between reads!");
      }
      action_(update);
    }
  }

  bool follow_redirection(const std::uint8_t* tred, bool& redirected, ScanResult& r) const {
    if (redirected) {
      diagnostic(kDiagInfo, "Encountered second redirection entry - end of replay.");
      return false;
    }
    const std::uint32_t target = tred_target(tred);
    if (std::uint64_t{target} + kTredSize > journal_.length()) {
      diagnostic(kDiagInfo, "Encountered bad index in redirection entry - replay end.");
      return false;
    }
    redirected = true;
    r.end = target;
    r.serial += 1;
    return true;
  }

  const ScanPlan& plan_;
  const UpdateAction& action_;
  const JournalFile& journal_;
};

// Progress through the current turn, relative to its start position.
struct Progress {
  std::uint32_t offset;
  std::uint32_t count;
};

// Walks the current turn from `from` under the limits of `plan`.
Progress running_scan(Progress from, ScanPlan plan, const UpdateAction& action) {
  const JournalFile& journal = database().journal;
  const IndexPointer pointer = decode_index_pointer(journal.index_pointer(journal.cursor.half));
  plan.start = pointer.start + from.offset;
  plan.serial = pointer.serial;
  plan.count = from.count;
  const ScanResult r = scan_journal(plan, action);
  return {r.end - pointer.start, r.count};
}

ScanPlan up_to_committed() {
  ScanPlan plan;
  plan.limit = database().transaction.committed_count;
  return plan;
}

UpdateAction copy_into(std::uint8_t* buffer, std::size_t length, std::uint64_t offset) {
  return [=](const UpdateEntry& update) { copy_update_into(buffer, length, offset, update); };
}

// The block a block copy covers. REQUIRES (checked): the copy covers one
// whole block.
std::uint32_t copied_block(std::size_t length, std::uint64_t offset) {
  const std::uint64_t block_size = database().store.block_size();
  if (length != block_size || offset % block_size != 0) {
    throw error_internal("Block copy does not cover one whole block");
  }
  return static_cast<std::uint32_t>(offset / block_size);
}

}  // namespace

void set_cached_blocks(CachedBlocks* cache) { registered_cache() = cache; }

ScanResult scan_journal(const ScanPlan& plan, const UpdateAction& action) {
  return Walk(plan, action).run();
}

void write_update(const UpdateEntry& update, bool may_extend) {
  if (update.data_length == 0) return;
  database().store.write_bytes(update.data, update.target, update.data_length, may_extend);
}

void apply_committed() {
  Database& db = database();
  TransactionState& t = db.transaction;
  const std::uint32_t block_size = db.store.block_size();
  // A block whose committed state is kept as a whole image (see
  // block_updates.h) is written once, as that image, after the walk; the
  // walk writes only the updates that touch some block without one. The
  // file ends as if every update had been written in turn.
  const auto all_imaged = [&t, block_size](const UpdateEntry& update) {
    const std::uint64_t last = update.target + update.data_length - 1;
    for (std::uint64_t block = update.target / block_size; block <= last / block_size; ++block) {
      if (!has_image(t.unapplied_updates, static_cast<std::uint32_t>(block))) {
        return false;
      }
    }
    return true;
  };
  const Progress reached = running_scan({t.applied_offset, t.applied_count}, up_to_committed(),
                                        [&all_imaged](const UpdateEntry& update) {
                                          if (update.data_length != 0 && !all_imaged(update)) {
                                            write_update(update, false);
                                          }
                                        });
  for (auto& [block, entry] : t.unapplied_updates) {
    if (entry.image.empty()) continue;
    fold_pending(entry, block, block_size);
    db.store.write_bytes(entry.image.data(), std::uint64_t{block} * block_size, block_size, false);
  }
  t.applied_offset = reached.offset;
  t.applied_count = reached.count;
  t.unapplied_updates.clear();
}

void push_commits_to_cache() {
  TransactionState& t = database().transaction;
  const std::uint32_t block_size = database().store.block_size();
  const Progress reached = running_scan(
      {t.cache_offset, t.cache_count}, up_to_committed(), [block_size](const UpdateEntry& update) {
        CachedBlocks* cache = registered_cache();
        if (cache == nullptr || update.data_length == 0) return;
        const std::uint64_t last = update.target + update.data_length - 1;
        for (std::uint64_t block = update.target / block_size; block <= last / block_size;
             ++block) {
          std::uint8_t* image = cache->find_cached(static_cast<std::uint32_t>(block));
          if (image != nullptr) {
            copy_update_into(image, block_size, block * block_size, update);
          }
        }
      });
  t.cache_offset = reached.offset;
  t.cache_count = reached.count;
}

void overlay_loaded_block(std::uint8_t* buffer, std::size_t length, std::uint64_t offset) {
  TransactionState& t = database().transaction;
  bring_up_to_date(t.unapplied_updates, copied_block(length, offset), buffer,
                   static_cast<std::uint32_t>(length));
  if (t.committed_count < t.cache_count) {
    throw error_internal("n_replayed_transactions inconsistency " +
                         support::text_u32(t.committed_count) + " vs. " +
                         support::text_u32(t.cache_count));
  }
  if (t.committed_offset < t.cache_offset) {
    throw error_internal("transaction_offset inconsistency " +
                         support::text_u32(t.committed_offset) + " vs. " +
                         support::text_u32(t.cache_offset));
  }
}

void overlay_private_copy(std::uint8_t* buffer, std::size_t length, std::uint64_t offset) {
  TransactionState& t = database().transaction;
  const std::uint32_t block = copied_block(length, offset);
  // Every commit reaches the cache as it ends, so this walk normally has
  // nothing to take; skip even its start then.
  if (t.cache_count < t.committed_count) {
    running_scan({t.cache_offset, t.cache_count}, up_to_committed(),
                 copy_into(buffer, length, offset));
  }
  bring_up_to_date(t.open_updates, block, buffer, static_cast<std::uint32_t>(length));
}

void copy_update_into(std::uint8_t* buffer, std::size_t length, std::uint64_t offset,
                      const UpdateEntry& update) {
  const std::uint64_t a = update.target;
  const std::uint64_t n = update.data_length;
  // A zero-length update changes nothing, wherever it points.
  if (n == 0 || a >= offset + length || a + n <= offset) return;
  const std::uint64_t lo = std::max(a, offset);
  const std::uint64_t hi = std::min(a + n, offset + length);
  if (lo >= hi) throw error_internal("Non-positive overlap during local replay");
  constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
  if (lo - offset > kMax32) {
    throw error_internal("Supplied data buffer left start beyond 32 bits");
  }
  if (lo - a > kMax32) {
    throw error_internal("Journal data buffer left start beyond 32 bits");
  }
  std::memcpy(buffer + (lo - offset), update.data + (lo - a), hi - lo);
}

}  // namespace mdb
