// The one open meta database of the process.
//
// The open database is the engine root's part for the storage and the
// journal (engine_root.h), reached through database(): the backing store,
// the journal mapping, the resident header image with what the engine
// derives from it, and the transaction state. Every operation that acts on
// "the" MDB goes through this object; reset_engine() replaces it by a new,
// unopened one.
#pragma once

#include <cstdint>
#include <string>

#include "server/database/mdb/header.h"
#include "server/database/mdb/transaction_state.h"

namespace mdb {

// The store state (header.h) and the transaction layer's.
struct Database : StoreState {
  TransactionState transaction;  // open transactions and turn progress
};

// The process-wide instance.
Database& database();

// The journal of the process-wide instance. open_journal maps
// [offset, offset + length) of `path` (length 0: to the end of the file),
// read-only when the store is.
void open_journal(const std::string& path, std::uint64_t offset, std::uint64_t length,
                  bool external);
void init_journal_header();
void sync_journal();
void close_journal();
// close_journal(), then the diagnostic "Journal in sync. Ready for shutdown.".
// This is how every user of the engine shuts the journal down.
void close_database_journal();

}  // namespace mdb
