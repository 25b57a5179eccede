// Creates the database files from confirmed settings.
#pragma once

#include <cstdint>

#include "server/database/creation_tool/settings.h"

namespace creation_tool {

// The MDB block size, whatever block size the TSDB uses.
inline constexpr std::uint64_t kMdbBlockSize = 8192;

// Where the parts of a new MDB lie, in 8192-byte blocks.
struct mdb_layout {
  std::uint32_t journal_blocks = 0;   // J: the journal size rounded up
  std::uint32_t journal_start = 0;    // 1 for an internal journal, else 0
  std::uint32_t first_map_block = 0;  // F; the index roots are F+256, F+257
  std::uint32_t initial_blocks = 0;   // the MDB file's size
};

mdb_layout compute_mdb_layout(std::uint32_t journal_type,
                              std::uint32_t journal_bytes);

// Runs the creation sequence and, unless flags.completely_empty, the initial
// content. Returns the process exit code. On return settings.journal_size
// holds the journal size in blocks. Engine failures propagate as exceptions
// of the mdb and tsdb families; a file that exists already ends the process
// with a message and exit code 1.
// REQUIRES: settings confirmed, every placement placement_dir or
// placement_blockdev, journal_type internal or external.
int create_databases(creation_settings& settings, const run_flags& flags);

}  // namespace creation_tool
