// Opening and closing an MDB as a whole, and looking objects up by node id.
//
// open_set runs every step a user of the engine needs before reading or
// writing objects: the store and the header, the journal, the start
// (replay, allocation map) and the index roots. Read-write, the index roots
// of a fresh database are created; read-only, the store and the journal
// are opened for reading, the replay goes to memory only and nothing is
// created, so the files keep every byte. close_set undoes open_set; after
// it the process may open another set.
//
// An open set is locked with flock(2) on its MDB file (or device):
// exclusively while open for writing, shared while open for reading, so a
// second writer, or a reader beside a writer, is refused at once instead
// of the two corrupting each other's view; flock(1) and other tools see
// the same lock. A program that must hold a set's lock across several
// opens (the creation tool, the administration tool) takes a SetLock
// itself; open_set then uses that lock instead of taking a second one,
// which flock would refuse because it belongs to another open file.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/node_id.h"

namespace mdb {

// A flock(2) lock on an MDB file or device, held until the object goes.
// The lock lives on an open file description of its own, so what the
// caller does with its own descriptors afterwards does not release it.
// The process remembers its locks by file (device and inode number).
class SetLock {
 public:
  enum class Mode { shared, exclusive };

  // Opens `path` for reading and locks it without waiting. Throws
  // error_in_use when another process holds a conflicting lock, error_open
  // when the path cannot be opened.
  // REQUIRES: this process holds no SetLock on the same file.
  SetLock(const std::string& path, Mode mode);
  // Locks the file open on `fd` through a duplicate of the descriptor;
  // `path` names the file in messages. Throws as above. The duplicate
  // shares everything of the caller's open: a device opened with O_EXCL
  // stays claimed while the lock lives, and open_set's own exclusive open
  // of it would fail, so lock a device by its path.
  // REQUIRES: fd is open; this process holds no SetLock on the same file.
  SetLock(int fd, Mode mode, const std::string& path);
  ~SetLock();
  SetLock(const SetLock&) = delete;
  SetLock& operator=(const SetLock&) = delete;

  Mode mode() const { return mode_; }

  // The lock this process holds on the file that `path` names, if any.
  static const SetLock* held_on(const std::string& path);

 private:
  void lock(const std::string& path);
  [[noreturn]] static void throw_unopened(const std::string& path);

  int fd_ = -1;
  Mode mode_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

struct OpenOptions {
  // Replaces the external journal path stored in the header when set.
  std::string journal_path;
  bool read_only = false;
};

// Locks the MDB file (exclusive, or shared when read-only) unless this
// process holds a SetLock on it already, which it then uses; a set that
// another process has locked is refused with error_in_use before anything
// is read. A failed read-write open keeps its lock with the store it
// leaves open.
// REQUIRES: no set is open. A failed read-only open leaves none open.
// REQUIRES: a SetLock this process holds on the file is exclusive when
// the open is read-write.
void open_set(const std::string& mdb_path, const OpenOptions& options = {});

// Read-write: closes the journal (synced), syncs and closes the store.
// Read-only: drops the in-memory changes and closes both. Either way the
// lock open_set took is released; a caller's SetLock stays.
void close_set();

// The reference of the object whose node id is `id`, from the NodeId
// index; none when the index does not hold it or has no entries yet.
// REQUIRES: an open set whose index roots exist.
std::optional<ObjectRef> find_object(const NodeId& id);

}  // namespace mdb
