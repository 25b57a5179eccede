// Transactions, flips and the checkpoint rule.
//
// Invariants kept here:
// - Only the outermost begin writes a TBEG and only the outermost end a
//   TEND; nested levels are records on the stack and nothing more.
// - The running CRC covers exactly the bytes from the open TBEG to the
//   write position, so the TEND carries the CRC of the whole transaction.
// - The journal is synced before any checkpoint writes the MDB file, so
//   the file holds only transactions that are durable in the journal.
// - A flip happens only after every committed transaction of the ending
//   turn has been applied to the MDB file and the file synced, so the MDB
//   file never depends on a turn whose index pointer has been replaced.
// - Fail-stop: after the first failed call on the journal or the store
//   (fail_stop.h) every begin, update and end fails with that error, so
//   nothing more enters the journal and no commit is acknowledged.
// - A TEND may use the 8 bytes kept free at the end of a half when the
//   updates filled the usable area. The half then counts as full, so the
//   next begin flips through the checkpoint rule and needs no TRED.
#include "server/database/mdb/transaction.h"

#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/fail_stop.h"
#include "server/database/mdb/fatal_assertion.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/journal_format.h"
#include "server/database/mdb/journal_scan.h"
#include "server/database/support/clock.h"
#include "server/database/support/errors.h"
#include "server/database/support/metrics_table.h"
#include "server/database/support/text_format.h"

namespace mdb {

namespace {

JournalFile& journal() { return database().journal; }
TransactionState& state() { return database().transaction; }

std::uint32_t now_seconds() { return support::now().seconds; }

// Free usable bytes of the current turn. A write position inside the
// reserved tail, where only a TEND can have put it, leaves nothing free.
std::uint32_t free_in_turn() {
  const JournalFile& j = journal();
  const std::uint32_t position = j.cursor.write_position;
  const std::uint32_t usable_end = half_bounds(j.length(), j.cursor.half).usable_end;
  if (position >= usable_end && position <= usable_end + kTendSize) return 0;
  return j.free_space();
}

// Claims `size` bytes at the write position for a new entry.
std::uint8_t* append_entry(std::uint32_t size) {
  JournalCursor& cursor = journal().cursor;
  std::uint8_t* entry = journal().entry_at(cursor.write_position);
  cursor.write_position += size;
  meter::journal_bytes.add(size);
  return entry;
}

void sync_and_checkpoint(std::uint32_t now) {
  state().last_sync_second = now;
  sync_journal();
  apply_committed();
}

// Ends the turn: everything committed goes to the MDB file, which is
// synced before the new turn's pointer replaces the old one. The journal
// is synced first: the MDB file must never hold a transaction that a
// power cut could take out of the journal, or a replay of the durable
// turn would mix older and newer states of the same blocks.
void checkpoint_and_flip(bool with_redirection) {
  sync_journal();
  apply_committed();
  sync_store();
  flip(with_redirection);
}

void run_checkpoint_rule() {
  const std::uint64_t half = journal().length() / 2;
  const std::uint64_t free = free_in_turn();
  const std::uint64_t fill = half == 0 ? 100 : (half - free) * 100 / half;
  diagnostic(kDiagTrace, "Journal free: " + support::text_u64(free) +
                             ", fill percentage: " + support::text_u64(fill));
  if (free * 100 >= half * 25) {
    const std::uint32_t now = now_seconds();
    if (now >= std::uint64_t{state().last_sync_second} + 1) {
      sync_and_checkpoint(now);
    }
    return;
  }
  diagnostic(kDiagInfo, "Checkpoint initiated because of semi-full log");
  checkpoint_and_flip(false);
}

}  // namespace

void begin_transaction() {
  throw_if_stopped();
  TransactionState& t = state();
  JournalCursor& cursor = journal().cursor;
  if (!t.stack.empty()) {
    t.stack.push_back({cursor.write_position, t.running_crc});
    return;
  }
  run_checkpoint_rule();
  if (free_in_turn() < kTbegSize) {
    diagnostic(kDiagWarning, "Flipping journal at beginning of transaction");
    checkpoint_and_flip(true);
    if (free_in_turn() < kTbegSize) {
      throw error_internal("After journal flip; no space for transbeg.");
    }
  }
  t.stack.push_back({cursor.write_position, t.running_crc});
  std::uint8_t* tbeg = append_entry(kTbegSize);
  encode_tbeg(tbeg, cursor.serial);
  t.running_crc.reset();
  t.running_crc.update(kTbegSize, tbeg);
}

void log_update(const void* data, std::uint32_t n, std::uint64_t target) {
  throw_if_stopped();
  TransactionState& t = state();
  if (t.stack.empty()) {
    throw error_internal("Update outside of transaction attempted");
  }
  check_update_target(target, n);
  const std::uint64_t size = update_entry_size(n);
  if (free_in_turn() < size) throw error_transact("Transaction log full");
  const std::uint32_t position = journal().cursor.write_position;
  std::uint8_t* entry = append_entry(static_cast<std::uint32_t>(size));
  encode_tupd(entry, data, n, target);
  t.running_crc.update(size, entry);
  note_update(t.open_updates, position, target, n, database().store.block_size());
}

void end_transaction(bool asynchronous) {
  throw_if_stopped();
  TransactionState& t = state();
  if (t.stack.empty()) throw error_internal("End of non-existing transaction");
  const std::uint32_t begin_position = t.stack.back().position;
  t.stack.pop_back();
  if (!t.stack.empty()) {
    if (asynchronous) return;
    assertion_failed("Syncronous nested transactions not supported");
  }
  JournalCursor& cursor = journal().cursor;
  if (cursor.write_position == begin_position + kTbegSize) {
    cursor.write_position = begin_position;  // take the lone TBEG back
    return;
  }
  encode_tend(append_entry(kTendSize), t.running_crc.value());
  t.committed_count += 1;
  t.committed_offset = cursor.write_position - half_bounds(journal().length(), cursor.half).start;
  merge_committed(t.open_updates, t.unapplied_updates, database().store.block_size());
  meter::journal_commits.add();
  push_commits_to_cache();
  const std::uint32_t now = now_seconds();
  if (asynchronous && now < std::uint64_t{t.last_sync_second} + 1) return;
  sync_and_checkpoint(now);
}

bool in_transaction() { return !state().stack.empty(); }

void flip(bool with_redirection) {
  JournalFile& j = journal();
  JournalCursor& cursor = j.cursor;
  const std::uint32_t new_half = 1 - cursor.half;
  const std::uint32_t start = half_bounds(j.length(), new_half).start;
  if (with_redirection) encode_tred(append_entry(kTredSize), start);
  state().reset_progress();
  cursor.serial += 1;
  encode_index_pointer(j.index_pointer(new_half), {cursor.serial, start});
  cursor.half = new_half;
  cursor.write_position = start;
  meter::journal_flips.add();
  diagnostic(kDiagTrace, "Journal flipped. Now using serial " + support::text_u64(cursor.serial) +
                             ", index " + support::text_u32(new_half) + ", jpos " +
                             support::text_u32(start));
}

}  // namespace mdb
