// The process's one EngineRoot. See engine_root.h.
#include "server/database/mdb/engine_root.h"

namespace mdb {

EngineRoot& engine_root() {
  static EngineRoot root;
  return root;
}

void reset_engine() {
  EngineRoot& root = engine_root();
  root.open_lock.reset();
  root.index_roots.reset();
  root.raw_access.reset();
  root.serialization_cache.reset();
  root.allocator.reset();
  root.allocation_map.reset();
  root.buffer_cache.reset();
  root.database.reset();
  root.stop.reset();
}

}  // namespace mdb
