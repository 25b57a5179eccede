// Opening and closing an MDB as a whole, and looking objects up by node id.
//
// open_set runs every step a user of the engine needs before reading or
// writing objects: the store and the header, the journal, the start
// (replay, allocation map) and the index roots. Read-write, the index roots
// of a fresh database are created; read-only, the store and the journal
// are opened for reading, the replay goes to memory only and nothing is
// created, so the files keep every byte. close_set undoes open_set; after
// it the process may open another set.
#pragma once

#include <optional>
#include <string>

#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/node_id.h"

namespace mdb {

struct OpenOptions {
  // Replaces the external journal path stored in the header when set.
  std::string journal_path;
  bool read_only = false;
};

// REQUIRES: no set is open. A failed read-only open leaves none open.
void open_set(const std::string& mdb_path, const OpenOptions& options = {});

// Read-write: closes the journal (synced), syncs and closes the store.
// Read-only: drops the in-memory changes and closes both.
void close_set();

// The reference of the object whose node id is `id`, from the NodeId
// index; none when the index does not hold it or has no entries yet.
// REQUIRES: an open set whose index roots exist.
std::optional<ObjectRef> find_object(const NodeId& id);

}  // namespace mdb
