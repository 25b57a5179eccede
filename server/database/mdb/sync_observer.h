// The sync observer: one process-wide listener told each time bytes of the
// MDB file or of its journal have reached stable storage.
//
// The engine never registers one. Tests do, to rebuild at every sync the
// files as a power cut would leave them (only what was synced survives) and
// to reopen those files as a server would.
#pragma once

#include <cstdint>
#include <string>

namespace mdb {

class SyncObserver {
 public:
  virtual ~SyncObserver() = default;
  // Bytes [offset, offset + length) of the file at `path` are on stable
  // storage; length 0 means the whole file. Called after the sync returned.
  virtual void synced(const std::string& path, std::uint64_t offset,
                      std::uint64_t length) = 0;
};

// Registers `observer` (null to unregister). It must outlive its
// registration.
void set_sync_observer(SyncObserver* observer);

// Tells the registered observer, if any, about a completed sync.
void report_sync(const std::string& path, std::uint64_t offset,
                 std::uint64_t length);

}  // namespace mdb
