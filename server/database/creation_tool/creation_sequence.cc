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
// Before step 1 every failure that can be foreseen (settings, existing
// files, devices held elsewhere, too small or holding data, one target for
// two roles, the journal path, free space) is refused without writing
// (creation_checks.h). From step 1 on, SIGINT, SIGTERM and SIGHUP are
// recorded and stop the run between steps and inside the long zero fills;
// every file created and every device started is recorded (cleanup.h), so
// that the program entry can take them back when the run does not succeed. An existing
// file is never overwritten: every pre-creation uses O_CREAT|O_EXCL and
// ends the run on failure. Every file is on stable
// storage before the run reports success: the journal is synced when it is
// closed, the MDB store and the TSDB are flushed, and each new file's
// directory is flushed when the file is created.
#include "server/database/creation_tool/creation_sequence.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "server/database/creation_tool/cleanup.h"
#include "server/database/creation_tool/creation_checks.h"
#include "server/database/creation_tool/file_preparation.h"
#include "server/database/creation_tool/initial_content.h"
#include "server/database/creation_tool/run_failure.h"
#include "server/database/dbcache/password_input.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/format.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/open_set.h"
#include "server/database/support/interruption.h"
#include "server/database/support/paths.h"
#include "server/database/support/text_format.h"
#include "server/database/tsdb/creation.h"

namespace creation_tool {

namespace {

// The sizes and the header of the new MDB.
creation_plan plan_creation(const creation_settings& settings) {
  // A server may be started from any directory: a relative journal path is
  // stored made absolute from the working directory, an absolute one byte
  // for byte.
  std::string journal_path;
  if (!settings.journal_path.empty()) {
    std::error_code error;
    journal_path = support::absolute_path(settings.journal_path, error);
    if (error) {
      refuse_with_reason(
          "Cannot make the journal path " + support::quoted(settings.journal_path) + " absolute",
          error.value());
    }
  }
  return mdb::new_database_layout(
      settings.journal_type == kJournalInternal ? mdb::journal_internal : mdb::journal_external,
      settings.journal_size, std::move(journal_path));
}

// The exclusive lock on the new MDB, held from its creation until the
// process ends, so that no server or tool opens a half-made set.
std::optional<mdb::SetLock>& creation_lock() {
  static std::optional<mdb::SetLock> lock;
  return lock;
}

// The administrator's password: from --pwfile or --pwprompt, else the
// default. A refusal ends the run before anything is written.
std::string admin_password(const run_flags& flags) {
  if (!flags.password_file && !flags.password_prompt) return kDefaultAdminPassword;
  const dbcache::PasswordRead read = flags.password_file
                                         ? dbcache::read_password_file(*flags.password_file)
                                         : dbcache::read_password_twice();
  if (!read.ok()) refuse(read.refusal);
  return read.password;
}

// Step 1: the MDB file, its header and its journal.
void create_mdb(creation_settings& settings, const creation_plan& plan) {
  const mdb::HeaderFields& header = plan.header;
  settings.journal_size = header.journal_blocks;  // from here on, blocks
  if (settings.mdb_placement == placement_dir) {
    precreate_file(settings.mdb_path, plan.mdb_bytes);
  } else {
    prepare_store(settings.mdb_path, plan.mdb_bytes);
  }
  creation_lock().emplace(settings.mdb_path, mdb::SetLock::Mode::exclusive);

  mdb::open_store(settings.mdb_path);
  mdb::create_header(header);

  if (header.journal_type == mdb::journal_internal) {
    mdb::open_journal(settings.mdb_path, std::uint64_t{header.journal_start} * header.block_size,
                      plan.journal_bytes, false);
  } else {
    if (settings.journal_placement == placement_dir) {
      precreate_file(settings.journal_path, plan.journal_bytes);
    } else {
      note_device_written(settings.journal_path, plan.journal_bytes);
    }
    mdb::open_journal(settings.journal_path, 0, plan.journal_bytes, true);
  }
  mdb::init_journal_header();
}

}  // namespace

int create_databases(creation_settings& settings, const run_flags& flags) {
  // Everything that can be known to fail is refused before the first write,
  // so that a failed run leaves nothing that blocks the next one.
  const creation_plan plan = plan_creation(settings);
  const std::string password = admin_password(flags);
  check_before_writing(settings, plan, flags);
  support::catch_interruptions();
  create_mdb(settings, plan);
  support::throw_if_interrupted();

  if (settings.tsdb_placement == placement_dir) {
    precreate_file(settings.tsdb_path, 0);
  } else {
    note_device_written(settings.tsdb_path, std::uint64_t{settings.tsdb_block_size} *
                                                tsdb::initial_block_count(
                                                    settings.tsdb_chains, settings.tsdb_block_size,
                                                    settings.tsdb_initial_checks));
  }
  tsdb::tsdb_create(settings.tsdb_path, settings.tsdb_chains, settings.tsdb_block_size,
                    settings.tsdb_initial_checks);
  support::throw_if_interrupted();

  mdb::close_database_journal();
  mdb::sync_store();  // the header, before the run can report success
  mdb::close_store();
  support::throw_if_interrupted();

  if (!flags.completely_empty) {
    write_initial_content(settings.mdb_path, flags.omit_admin, password);
    support::throw_if_interrupted();
  }
  return 0;
}

}  // namespace creation_tool
