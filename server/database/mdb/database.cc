// The process-wide MDB instance and the journal operations on it.
#include "server/database/mdb/database.h"

#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/engine_root.h"

namespace mdb {

Database& database() { return engine_root().database.get(); }

StoreState& store_state() { return database(); }

void open_journal(const std::string& path, std::uint64_t offset, std::uint64_t length,
                  bool external) {
  Database& db = database();
  // The journal of a read-only store is read-only too.
  db.journal.open(path, offset, length, external, db.store.read_only());
}

void init_journal_header() { database().journal.init_header(); }

void sync_journal() { database().journal.sync(); }

void close_journal() { database().journal.close(); }

void close_database_journal() {
  close_journal();
  diagnostic(kDiagInfo, "Journal in sync. Ready for shutdown.");
}

}  // namespace mdb
