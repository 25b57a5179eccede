// Opening and closing an MDB as a whole.
//
// Invariant: after a read-only open_set the store and the journal are
// open for reading only (BackingStore and JournalFile keep every write in
// memory), no index root is created and the table of roots holds the
// header's roots, so lookups find what the files hold.
//
// Invariant: a set lives in the engine root (engine_root.h): open_set
// starts from a fresh root, and close_set, like a failed read-only open,
// leaves a fresh one, so nothing of one set is seen by the next.
//
// Invariant: while a set is open its MDB file is flock-locked, by the
// lock open_set took (own_lock) or by a SetLock of the caller; every
// SetLock alive is listed in held_locks, so the process never asks flock
// twice for one file.
#include "server/database/mdb/open_set.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "server/database/mdb/database.h"
#include "server/database/mdb/engine_root.h"
#include "server/database/mdb/fail_stop.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/index_operations.h"
#include "server/database/mdb/index_search.h"
#include "server/database/mdb/start_database.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

// The engine root's part for open sets: the lock open_set took itself,
// released by close_set.
struct OpenSetLock {
  std::optional<SetLock> lock;
};

namespace {

// Never destroyed: a SetLock that outlives main (a set left open at exit)
// still unlists itself.
std::vector<const SetLock*>& held_locks() {
  static auto* const locks = new std::vector<const SetLock*>;
  return *locks;
}

std::optional<SetLock>& own_lock() { return engine_root().open_lock.get().lock; }

// Uses the caller's lock on the file, or takes one for the open set.
void lock_set(const std::string& mdb_path, bool read_only) {
  if (const SetLock* held = SetLock::held_on(mdb_path)) {
    if (!read_only && held->mode() != SetLock::Mode::exclusive) {
      throw error_internal("Read/write open of a database this process holds a shared lock on");
    }
    return;
  }
  own_lock().emplace(mdb_path, read_only ? SetLock::Mode::shared : SetLock::Mode::exclusive);
}

// Lets go of a set whose files need nothing saved (read-only, or the
// engine stopped and writing nothing more): closes them, ignoring errors,
// and resets the engine.
void drop_set() {
  try {
    close_journal();
  } catch (const error::Exception&) {
  }
  try {
    database().store.close();
  } catch (const error::Exception&) {
  }
  reset_engine();
}

}  // namespace

SetLock::SetLock(const std::string& path, Mode mode) : mode_(mode) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw_unopened(path);
  lock(path);
}

SetLock::SetLock(int fd, Mode mode, const std::string& path) : mode_(mode) {
  fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (fd_ < 0) throw_unopened(path);
  lock(path);
}

void SetLock::throw_unopened(const std::string& path) {
  const int code = errno;
  throw error_open("Cannot open database for locking in " + support::quoted(path) + ": " +
                   error::system_error_text(static_cast<std::uint32_t>(code)));
}

void SetLock::lock(const std::string& path) {
  struct stat status {};
  const int operation = (mode_ == Mode::exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  int result;
  do {
    result = ::flock(fd_, operation);
  } while (result != 0 && errno == EINTR);
  if (result != 0 || ::fstat(fd_, &status) != 0) {
    const int code = errno;
    ::close(fd_);
    if (code == EWOULDBLOCK) {
      throw error_in_use("Database in " + support::quoted(path) + " is in use by another process");
    }
    throw error_open("Cannot lock database in " + support::quoted(path) + ": " +
                     error::system_error_text(static_cast<std::uint32_t>(code)));
  }
  device_ = status.st_dev;
  inode_ = status.st_ino;
  held_locks().push_back(this);
}

SetLock::~SetLock() {
  std::erase(held_locks(), this);
  // Closing the only descriptor of the open file description releases the lock.
  ::close(fd_);
}

const SetLock* SetLock::held_on(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return nullptr;
  const auto& locks = held_locks();
  const auto found = std::find_if(locks.begin(), locks.end(), [&](const SetLock* lock) {
    return lock->device_ == status.st_dev && lock->inode_ == status.st_ino;
  });
  return found == locks.end() ? nullptr : *found;
}

void open_set(const std::string& mdb_path, const OpenOptions& options) {
  reset_engine();  // nothing of an earlier set is carried into this one
  open_store(mdb_path, options.read_only);
  try {
    lock_set(mdb_path, options.read_only);
  } catch (...) {
    close_store();
    throw;
  }
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
    drop_set();
    throw;
  }
}

void close_set() {
  if (database().store.read_only() || engine_stopped()) {
    // A stopped engine still reports the error that stopped it.
    try {
      throw_if_stopped();
    } catch (...) {
      drop_set();
      throw;
    }
    drop_set();
    return;
  }
  close_database_journal();
  // What checkpoints wrote into the MDB file must be on stable storage too.
  sync_store();
  close_store();
  reset_engine();
}

std::optional<ObjectRef> find_object(const NodeId& id) {
  const std::uint32_t root = index_roots()[kNodeIdIndex];
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
