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
// The new turn starts in the other half, whose old entries are zeroed and
// synced first. A turn of that half that never got its pointer to the disk
// could otherwise carry the very serial the new turn gets, and its
// leftovers, found after the new turn's last transaction, would be taken
// for current ones by a later replay.
#include "server/database/mdb/replay.h"

#include <cstddef>
#include <optional>
#include <vector>

#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/journal_layout.h"
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

// The index of the pointer to replay from: the valid one with the higher
// serial; on equal serials pointer 1 unless pointer 0 has a start position
// (a fresh journal has two pointers at serial 0, start 0).
std::optional<std::uint32_t> choose_pointer(const JournalFile& journal) {
  const std::uint8_t* p0 = journal.index_pointer(0);
  const std::uint8_t* p1 = journal.index_pointer(1);
  const bool valid0 = pointer_valid(p0);
  const IndexPointer pointer0 = decode_index_pointer(p0);
  std::optional<std::uint32_t> choice;
  if (valid0) choice = 0;
  if (pointer_valid(p1)) {
    const std::uint64_t serial1 = decode_index_pointer(p1).serial;
    // A damaged pointer 0 leaves pointer 1 as the only choice, whatever
    // pointer 0's bytes say.
    if (!valid0 || serial1 > pointer0.serial ||
        (serial1 == pointer0.serial && pointer0.start == 0)) {
      choice = 1;
    }
  }
  return choice;
}

// Zeroes the current half from the write position to its end and syncs,
// so that nothing of an older turn remains behind the new one.
void clear_new_turn(JournalFile& journal) {
  const std::uint32_t half_end =
      journal.cursor.half == 0 ? journal.length() / 2 : journal.length();
  const std::uint32_t start = journal.cursor.write_position;
  if (start < half_end) journal.zero(start, half_end - start);
  sync_journal();
}

// Writes the replayed updates into the MDB file, joining runs of updates
// that continue one another into one write each. Updates are written in
// journal order, so a later update still lands after an earlier one that
// it overlaps.
class RunWriter {
 public:
  void add(const UpdateEntry& update) {
    if (update.data_length == 0) return;
    if (!run_.empty() && (update.target != target_ + run_.size() ||
                          run_.size() >= kMaxRun)) {
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

 private:
  static constexpr std::size_t kMaxRun = 1 << 20;
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
  const std::optional<std::uint32_t> choice = choose_pointer(journal);
  if (!choice) {
    diagnostic(kDiagNotice, "POSSIBLE DATA LOSS: REPLAY IMPOSSIBLE");
    throw error_need_repair("Both index pointers were invalid");
  }
  const IndexPointer chosen =
      decode_index_pointer(journal.index_pointer(*choice));
  diagnostic(kDiagTrace, "Starting replay at journal offset " +
                             support::text_u32(chosen.start));
  db.transaction = TransactionState{};
  ScanPlan plan;
  plan.start = chosen.start;
  plan.serial = chosen.serial;
  plan.at_open = true;
  RunWriter writer;
  const ScanResult replayed = scan_journal(
      plan, [&writer](const UpdateEntry& update) { writer.add(update); });
  writer.flush();
  sync_store();
  journal.cursor.serial = replayed.serial;
  journal.cursor.half = *choice;
  flip(false);
  clear_new_turn(journal);
}

}  // namespace mdb
