// Creates the database files from confirmed settings.
#pragma once

#include "server/database/creation_tool/settings.h"

namespace creation_tool {

// Runs the creation sequence and, unless flags.completely_empty, the initial
// content. Returns the process exit code. Engine failures propagate as
// exceptions of the mdb and tsdb families; the front end's own failures
// print a message and end the process with exit code 1.
int create_databases(creation_settings& settings, const run_flags& flags);

}  // namespace creation_tool
