// What both commands of vexmon-dbadmin do before they change a set: find
// its files, lock it against every other process for the whole run, read
// its header, and have the checker confirm that the set (with a given
// journal, replayed into memory only) is sound. Nothing here writes.
#pragma once

#include <memory>
#include <string>

#include "server/database/mdb/format.h"
#include "server/database/mdb/open_set.h"

namespace admin {

inline constexpr int kDone = 0;
inline constexpr int kRefused = 1;     // refused or failed; the set is unchanged
inline constexpr int kUnopenable = 2;  // usage error, or a set that cannot be opened

// Why a command stops: the line to print and the exit status.
struct Failure {
  int exit_code;
  std::string text;
};

struct SetFiles {
  std::string directory;
  std::string mdb;      // DIR/main.odb
  std::string journal;  // DIR/main.odbj, where a set's own external journal lies
};

SetFiles set_files(const std::string& directory);

// The set's exclusive lock, held until the command ends. Throws Failure:
// refused when another process holds the set, unopenable when the MDB
// cannot be opened.
std::unique_ptr<mdb::SetLock> lock_set(const SetFiles& files);

// The 1024 header bytes of the MDB. Throws Failure (unopenable) when they
// cannot be read.
mdb::HeaderImage read_header(const std::string& mdb);

// True when the header names an external journal; throws Failure (refused)
// when its journal fields cannot be read.
bool has_external_journal(const mdb::HeaderImage& header, const std::string& mdb);

// Throws Failure (refused), `refusal` followed by the first problem, when
// the checker finds the MDB, with `journal` (empty: the header's) replayed
// into memory, not sound; unopenable when the MDB or that journal cannot
// be opened. REQUIRES: the caller holds the set's lock.
void require_sound(const SetFiles& files, const std::string& journal, const std::string& refusal);

}  // namespace admin
