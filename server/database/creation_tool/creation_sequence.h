// Creates the database files from confirmed settings.
#pragma once

#include "server/database/creation_tool/settings.h"

namespace creation_tool {

// Runs the creation sequence and, unless flags.completely_empty, the initial
// content. Returns the process exit code. On return settings.journal_size
// holds the journal size in blocks. Engine failures propagate as exceptions
// of the mdb and tsdb families, the front end's own failures (a file that
// exists already, ...) as run_failed after their message, and a received
// SIGINT, SIGTERM or SIGHUP as support::interrupted. What the run created
// is recorded for clean_up_created (cleanup.h), which the caller runs.
// REQUIRES: settings confirmed, every placement placement_dir or
// placement_blockdev, journal_type internal or external.
int create_databases(creation_settings& settings, const run_flags& flags);

}  // namespace creation_tool
