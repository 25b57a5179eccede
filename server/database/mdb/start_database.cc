// Starting an MDB that open_database() has opened: the journal's committed
// transactions reach the file first, so that everything read afterwards
// (the allocation map above all) sees them; then the allocator, the
// serialization cache and the raw access layer are set up for the block
// size the header gave.
#include "server/database/mdb/start_database.h"

#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/buffer_cache.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/raw_access.h"
#include "server/database/mdb/replay.h"
#include "server/database/mdb/serialization_cache.h"

namespace mdb {

void start_database() {
  // Block images and allocator state from an earlier open in this process
  // describe another file (or this one before the replay): drop them.
  reset_buffer_cache();
  reset_allocator();
  replay_at_open();

  const Database& db = database();
  init_map(db.first_map_block, db.first_data_block - db.first_map_block);
  create_serialization_cache(db.store.block_size());
  init_raw_access(db.store.block_size());
}

}  // namespace mdb
