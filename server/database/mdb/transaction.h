// Transactions over the journal: begin, logged updates, end (commit), the
// flip between the journal's halves and the checkpoint rule.
//
// Every change to the MDB is logged here as an update entry inside a
// transaction; the MDB file itself is written only by the checkpoint and
// the replay at open (journal_scan.h, replay.h). Transactions nest: only the
// outermost begin and end write entries. All state is process-wide, in
// database().journal.cursor and database().transaction.
//
// Fail-stop rule: the first failed sync of the journal or the store, and
// equally the first failed read, write, mapping or close of either, stops
// the engine (fail_stop.h). From then on every begin, update, commit,
// checkpoint, sync and close_set fails with that first error and nothing
// more is written; only a new open of the set (which replays the journal)
// goes on. A failed sync may already have dropped the pages it was to
// write, so a later sync that succeeds would prove nothing, and a commit
// acknowledged after it might not be in the files.
#pragma once

#include <cstdint>

namespace mdb {

// Opens a transaction. The outermost begin first runs the checkpoint rule
// and writes a TBEG. REQUIRES: the journal is mapped and replayed.
void begin_transaction();

// Logs that the n bytes at `data` are to be stored at byte `target` of the
// MDB file. Fails with "Transaction log full" when the entry does not fit
// in the current half, and with error_need_repair when the bytes reach past
// the blocks the allocation map covers (check_update_target); nothing is
// written then and the transaction stays open.
void log_update(const void* data, std::uint32_t n, std::uint64_t target);

// Ends the innermost transaction. The outermost end commits: it writes the
// TEND, pushes the transaction into the buffer cache and, unless
// `asynchronous` and the journal was synced within the current second,
// syncs the journal and checkpoints. An outermost transaction without
// updates leaves no trace in the journal.
void end_transaction(bool asynchronous);

bool in_transaction();

// Starts a new turn in the other half with the next serial. With
// redirection, a TRED at the write position points the old turn at the new
// one. Does not sync.
void flip(bool with_redirection);

}  // namespace mdb
