// The process-wide sync observer.
#include "server/database/mdb/sync_observer.h"

namespace mdb {

namespace {

SyncObserver*& registered_observer() {
  static SyncObserver* observer = nullptr;
  return observer;
}

}  // namespace

void set_sync_observer(SyncObserver* observer) {
  registered_observer() = observer;
}

void report_sync(const std::string& path, std::uint64_t offset,
                 std::uint64_t length) {
  if (SyncObserver* observer = registered_observer()) {
    observer->synced(path, offset, length);
  }
}

}  // namespace mdb
