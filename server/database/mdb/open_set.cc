// Opening and closing an MDB as a whole.
//
// Invariant: after a read-only open_set the store and the journal are
// open for reading only (BackingStore and JournalFile keep every write in
// memory), no index root is created and the table of roots holds the
// header's roots, so lookups find what the files hold.
#include "server/database/mdb/open_set.h"

#include "server/database/mdb/buffer_cache.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/index_operations.h"
#include "server/database/mdb/index_search.h"
#include "server/database/mdb/object_store.h"
#include "server/database/support/errors.h"

namespace mdb {

namespace {

// Closes what a read-only open left open; nothing of it needs saving.
void drop_read_only_set() {
  Database& db = database();
  try {
    close_journal();
  } catch (const error::Exception&) {
  }
  db.header.reset();
  db.first_data_block = 0;
  try {
    db.store.close();
  } catch (const error::Exception&) {
  }
  reset_buffer_cache();
}

}  // namespace

void open_set(const std::string& mdb_path, const OpenOptions& options) {
  open_store(mdb_path, options.read_only);
  if (!options.read_only) {
    open_database(options.journal_path);
    start_database();
    init_indexes();
    return;
  }
  try {
    open_database(options.journal_path);
    start_database();
    take_index_roots();
  } catch (...) {
    drop_read_only_set();
    throw;
  }
}

void close_set() {
  Database& db = database();
  if (db.store.read_only()) {
    drop_read_only_set();
    return;
  }
  close_database_journal();
  // What checkpoints wrote into the MDB file must be on stable storage too.
  sync_store();
  close_store();
}

std::optional<ObjectRef> find_object(const NodeId& id) {
  const std::uint32_t root = index_roots[kNodeIdIndex];
  PathElement top = load_element(root);
  check_node(top);
  // An empty tree has no leaf yet; a descent would create one.
  if (top.node().nkeys() == 0 && top.node().ptr0() == 0) return std::nullopt;
  top.release();
  SearchPath path;
  const PathElement leaf = descend_unique(root, id, path);
  if (!leaf_holds_key(leaf, id)) return std::nullopt;
  return leaf.leaf().data(leaf.pos);
}

}  // namespace mdb
