// The replay at open.
//
// Which turn to replay: the one of the valid index pointer with the higher
// serial. The pointer of a turn is written by the flip that starts it, and
// a flip happens only after the previous turn has been applied to the MDB
// file and the file synced, so replaying the newest turn alone brings the
// file up to date. The walk stops quietly at the first transaction that is
// torn, stale or fails its CRC: that is where the previous run's durable
// writes ended.
//
// As at every checkpoint, the journal is synced before the MDB file is
// written: the walk may have taken transactions that a crashed process
// left in the page cache but never synced.
//
// The new turn starts in the other half, whose old entries are zeroed and
// synced before the flip writes the new turn's pointer. A turn of that half
// that never got its pointer to the disk could otherwise carry the very
// serial the new turn gets, and its leftovers, found at the new turn's start
// or after its last transaction, would be taken for current ones by a later
// replay. Zeroed after the flip, the half could still hold them on the disk
// when the page with the new pointer is written back first.
#include "server/database/mdb/replay.h"

#include <cstddef>
#include <optional>
#include <unordered_map>
#include <vector>

#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/journal_format.h"
#include "server/database/mdb/journal_scan.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

namespace {

void check_journal_header(const JournalFile& journal) {
  journal.entry_at(kJournalHeaderSize - 1);
  const std::uint8_t* header = journal.entry_at(0);
  if (support::load_be32(header) != kJournalMagic) {
    throw error_fubar("Journal does not start with a journal header");
  }
  const std::uint32_t version = support::load_be32(header + 4);
  if (version != kJournalVersion) {
    throw error_unsupported("Journal version " + support::text_u32(version) +
                            " is unsupported - please upgrade Vexmon first");
  }
}

// Zeroes the entries area of `half` and syncs, so that nothing of an older
// turn remains where the new one will start.
void clear_half(JournalFile& journal, std::uint32_t half) {
  const std::uint32_t half_end = half == 0 ? journal.length() / 2 : journal.length();
  const std::uint32_t start = half_bounds(journal.length(), half).start;
  if (start < half_end) journal.zero(start, half_end - start);
  sync_journal();
}

// Writes the replayed updates into the MDB file once the walk has taken
// them all; an update that points past the blocks of the allocation map
// fails the replay before anything is written. An update inside one block that a later update of
// that whole block overwrites is skipped, and runs of updates that continue one another go out as
// one write, so the file ends exactly as if every update had been written in journal order, with
// far fewer bytes written when a turn logged the same blocks many times.
class ReplayWriter {
 public:
  explicit ReplayWriter(std::uint32_t block_size) : block_size_(block_size) {}

  void add(const UpdateEntry& update) {
    check_update_target(update.target, update.data_length);
    if (update.data_length == 0) return;
    if (update.target % block_size_ == 0 && update.data_length == block_size_) {
      last_whole_[update.target / block_size_] = updates_.size();
    }
    updates_.push_back(update);
  }

  void write_all() {
    for (std::size_t i = 0; i < updates_.size(); ++i) {
      const UpdateEntry& update = updates_[i];
      const std::uint64_t block = update.target / block_size_;
      if ((update.target + update.data_length - 1) / block_size_ == block) {
        const auto whole = last_whole_.find(block);
        if (whole != last_whole_.end() && whole->second > i) continue;
      }
      append(update);
    }
    flush();
  }

 private:
  void append(const UpdateEntry& update) {
    if (!run_.empty() && (update.target != target_ + run_.size() || run_.size() >= kMaxRun)) {
      flush();
    }
    if (run_.empty()) target_ = update.target;
    run_.insert(run_.end(), update.data, update.data + update.data_length);
  }
  void flush() {
    if (run_.empty()) return;
    database().store.write_bytes(run_.data(), target_, run_.size(), true);
    run_.clear();
  }

  static constexpr std::size_t kMaxRun = 1 << 20;
  const std::uint32_t block_size_;
  std::vector<UpdateEntry> updates_;  // in journal order; data in the mapping
  std::unordered_map<std::uint64_t, std::size_t> last_whole_;  // by block
  std::uint64_t target_ = 0;
  std::vector<std::uint8_t> run_;
};

}  // namespace

void replay_at_open() {
  Database& db = database();
  JournalFile& journal = db.journal;
  if (!journal.is_mapped()) throw error_internal("No journal mapped");
  if (db.store.length() == 0) {
    throw error_internal("Invalid backing store length");
  }
  check_journal_header(journal);
  // check_journal_header made sure the 48 header bytes are there.
  const std::optional<std::uint32_t> choice = choose_pointer(journal.entry_at(0));
  if (!choice) {
    diagnostic(kDiagNotice, "POSSIBLE DATA LOSS: REPLAY IMPOSSIBLE");
    throw error_need_repair("Both index pointers were invalid");
  }
  const IndexPointer chosen = decode_index_pointer(journal.index_pointer(*choice));
  diagnostic(kDiagTrace, "Starting replay at journal offset " + support::text_u32(chosen.start));
  db.transaction = TransactionState{};
  ScanPlan plan;
  plan.start = chosen.start;
  plan.serial = chosen.serial;
  plan.at_open = true;
  ReplayWriter writer(db.store.block_size());
  const ScanResult replayed =
      scan_journal(plan, [&writer](const UpdateEntry& update) { writer.add(update); });
  // The walk read the journal as the page cache holds it, which after a
  // crash of the process may be more than reached the disk. The MDB file
  // must not hold a transaction that the durable journal lacks, so the
  // journal is synced before the first write.
  sync_journal();
  writer.write_all();
  sync_store();
  journal.cursor.serial = replayed.serial;
  journal.cursor.half = *choice;
  clear_half(journal, 1 - *choice);
  flip(false);
}

}  // namespace mdb
