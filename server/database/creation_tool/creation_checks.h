// The checks the creation runs before it writes its first byte.
#pragma once

#include "server/database/creation_tool/settings.h"
#include "server/database/mdb/format.h"

namespace creation_tool {

// What the creation sequence is about to write: the sizes of the MDB and
// its journal, and the header.
using creation_plan = mdb::NewDatabaseLayout;

// Refuses, before anything is written, every failure the creation sequence
// can foresee, in the order the sequence would meet them, each with the
// message the sequence gives for it:
//   - TSDB settings the format cannot hold (tsdb error_internal);
//   - one file or device given two roles ("Cannot place both ...");
//   - a file that exists or cannot be created ("Unable to create file");
//   - a device held elsewhere: the MDB's ("Unable to open store"), the
//     journal's (mdb error_open) or the TSDB's (tsdb error_open);
//   - a device smaller than its role needs;
//   - a device that already holds something (a file system, a partition
//     table, a database set...), unless flags.overwrite;
//   - a journal path the MDB header cannot hold (mdb error_internal);
//   - files that need more room than their file systems have free, the
//     files on one file system counted together.
// Front-end refusals print one line on standard error (followed by the
// system's reason where a system call failed) and throw run_failed; the
// engines' refusals are their exceptions.
void check_before_writing(const creation_settings& settings, const creation_plan& plan,
                          const run_flags& flags);

}  // namespace creation_tool
