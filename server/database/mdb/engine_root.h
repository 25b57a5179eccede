// The root of the engine's process-wide state.
//
// Everything the MDB engine keeps between calls hangs off the one
// EngineRoot of the process, one part per piece of state, so that ending a
// session is one call: reset_engine(). open_set begins with it, close_set
// and a failed read-only open end with it, and tests and fuzzers reset
// through it instead of piece by piece.
//
// Each part's type is defined in the layer that owns it, and only that
// layer reaches into it; the root names the types without including them,
// so it sits below every layer. A part is built on first use, zeroed or
// empty as a new process has it. The parts are declared lowest layer first
// and go in the reverse order, so while a part is destroyed every part
// below it is still there.
//
// Outside the root: the diagnostic mask, a setting of the process that
// tests change before they open a set; the list of SetLocks alive, which
// their owners may hold across several sets; and the journal scans' link
// to the buffer cache, which the cache part makes and undoes itself.
#pragma once

#include <memory>

namespace mdb {

struct StopState;          // store: the error that stopped the engine
struct Database;           // journal: store, journal, header, transactions
class BlockCache;          // cache: the buffer cache
class AllocationMap;       // cache: the loaded allocation map blocks
struct AllocatorState;     // cache: the allocator's last good block
class SerializationCache;  // properties: the records of the next object
struct RawAccessBuffer;    // properties: the raw access layer's buffer
struct IndexRootTable;     // indexes: the root block of each index slot
struct OpenSetLock;        // open: the lock open_set took itself

// One part of the root: built on first use, destroyed by reset().
template <typename Part>
class RootPart {
 public:
  // REQUIRES: Part is complete where this is called (in its own layer).
  Part& get() {
    if (!part_) part_ = Owner(new Part(), [](Part* part) { delete part; });
    return *part_;
  }
  void reset() { part_.reset(); }

 private:
  using Owner = std::unique_ptr<Part, void (*)(Part*)>;
  Owner part_{nullptr, nullptr};
};

struct EngineRoot {
  RootPart<StopState> stop;
  RootPart<Database> database;
  RootPart<BlockCache> buffer_cache;
  RootPart<AllocationMap> allocation_map;
  RootPart<AllocatorState> allocator;
  RootPart<SerializationCache> serialization_cache;
  RootPart<RawAccessBuffer> raw_access;
  RootPart<IndexRootTable> index_roots;
  RootPart<OpenSetLock> open_lock;
};

// The process's root.
EngineRoot& engine_root();

// Destroys every part, highest layer first: an open journal is unmapped
// and the store closed without a sync, open transactions are dropped, and
// the lock open_set took is released. The next use builds fresh parts.
void reset_engine();

}  // namespace mdb
