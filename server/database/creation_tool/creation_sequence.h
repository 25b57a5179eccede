// Creates the database files from confirmed settings.
#pragma once

#include "server/database/creation_tool/settings.h"

namespace creation_tool {

// Runs the creation sequence and, unless flags.completely_empty, the initial
// content. Returns the process exit code. On return settings.journal_size
// holds the journal size in blocks. Engine failures propagate as exceptions
// of the mdb and tsdb families; a file that exists already ends the process
// with a message and exit code 1.
// REQUIRES: settings confirmed, every placement placement_dir or
// placement_blockdev, journal_type internal or external.
int create_databases(creation_settings& settings, const run_flags& flags);

}  // namespace creation_tool
