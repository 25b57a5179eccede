// The journal as it lies on disk: header, index pointers, the current turn
// and the transactions a replay would apply.
#pragma once

#include <string>

#include "server/database/checker/mdb_layout.h"
#include "server/database/checker/report.h"

namespace checker {

// Reads the journal (blocks of the MDB at `mdb_path`, or the file at
// `journal_path`), reports its facts and problems. `file` names the
// journal in problem lines.
void check_journal(const MdbLayout& layout, const std::string& mdb_path,
                   const std::string& journal_path, const std::string& file, Report& report);

}  // namespace checker
