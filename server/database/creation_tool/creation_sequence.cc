// The creation sequence: lays out and creates the MDB with its journal,
// creates the TSDB, and shuts the MDB down, in this order:
//
//   1. MDB: pre-create the file (or zero the device), open the store, write
//      the header, pre-create an external journal file, map the journal and
//      write a fresh journal header.
//   2. TSDB: pre-create the empty file, then tsdb_create() sizes and fills
//      it and leaves it open for the rest of the run.
//   3. Close the journal ("Journal in sync. Ready for shutdown."), flush the
//      MDB store and close it.
//   4. Unless -c: reopen the MDB and write its initial content
//      (initial_content.h).
//
// TSDB settings are checked before step 1. An existing file is never
// overwritten: every pre-creation uses
// O_CREAT|O_EXCL and ends the run on failure. Every file is on stable
// storage before the run reports success: the journal is synced when it is
// closed, the MDB store and the TSDB are flushed, and each new file's
// directory is flushed when the file is created.
#include "server/database/creation_tool/creation_sequence.h"

#include <cstdint>

#include "server/database/creation_tool/file_preparation.h"
#include "server/database/creation_tool/initial_content.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/header.h"
#include "server/database/tsdb/creation.h"

namespace creation_tool {

namespace {

// The MDB block size, whatever block size the TSDB uses.
constexpr std::uint64_t kMdbBlockSize = 8192;

// Where the parts of a new MDB lie, in 8192-byte blocks.
struct mdb_layout {
  std::uint32_t journal_blocks = 0;   // J: the journal size rounded up
  std::uint32_t journal_start = 0;    // 1 for an internal journal, else 0
  std::uint32_t first_map_block = 0;  // F; the index roots are F+256, F+257
  std::uint32_t initial_blocks = 0;   // the MDB file's size
};

mdb_layout compute_mdb_layout(std::uint32_t journal_type,
                              std::uint32_t journal_bytes) {
  mdb_layout layout;
  layout.journal_blocks = static_cast<std::uint32_t>(
      (std::uint64_t{journal_bytes} + kMdbBlockSize - 1) / kMdbBlockSize);
  const bool internal = journal_type == kJournalInternal;
  layout.journal_start = internal ? 1 : 0;
  layout.first_map_block = internal ? layout.journal_blocks + 1 : 1;
  layout.initial_blocks = (internal ? layout.journal_blocks : 0) + 385;
  return layout;
}

// Step 1: the MDB file, its header and its journal.
void create_mdb(creation_settings& settings) {
  const mdb_layout layout =
      compute_mdb_layout(settings.journal_type, settings.journal_size);
  settings.journal_size = layout.journal_blocks;  // from here on, blocks
  const std::uint64_t mdb_bytes =
      std::uint64_t{layout.initial_blocks} * kMdbBlockSize;
  if (settings.mdb_placement == placement_dir) {
    precreate_file(settings.mdb_path, mdb_bytes);
  } else {
    prepare_store(settings.mdb_path, mdb_bytes);
  }

  mdb::open_store(settings.mdb_path);
  const bool internal = settings.journal_type == kJournalInternal;
  const std::uint32_t f = layout.first_map_block;
  mdb::create_header(static_cast<std::uint32_t>(kMdbBlockSize),
                     internal ? mdb::journal_internal : mdb::journal_external,
                     settings.journal_path, layout.journal_start,
                     layout.journal_blocks, {f + 256, f + 257}, f, f + 256);

  const std::uint64_t journal_bytes =
      std::uint64_t{layout.journal_blocks} * kMdbBlockSize;
  if (internal) {
    mdb::open_journal(settings.mdb_path,
                      std::uint64_t{layout.journal_start} * kMdbBlockSize,
                      journal_bytes, false);
  } else {
    if (settings.journal_placement == placement_dir) {
      precreate_file(settings.journal_path, journal_bytes);
    }
    mdb::open_journal(settings.journal_path, 0, journal_bytes, true);
  }
  mdb::init_journal_header();
}

}  // namespace

int create_databases(creation_settings& settings, const run_flags& flags) {
  // TSDB settings the format cannot hold (too many expected checks for
  // 32-bit block numbers) are refused before any file is written, not after
  // the MDB already exists.
  tsdb::initial_block_count(settings.tsdb_chains, settings.tsdb_block_size,
                            settings.tsdb_initial_checks);
  create_mdb(settings);

  if (settings.tsdb_placement == placement_dir) {
    precreate_file(settings.tsdb_path, 0);
  }
  tsdb::tsdb_create(settings.tsdb_path, settings.tsdb_chains,
                    settings.tsdb_block_size, settings.tsdb_initial_checks);

  mdb::close_database_journal();
  mdb::sync_store();  // the header, before the run can report success
  mdb::close_store();

  if (flags.completely_empty) return 0;
  write_initial_content(settings.mdb_path, flags.omit_admin);
  return 0;
}

}  // namespace creation_tool
