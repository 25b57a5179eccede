// Relocating a set's journal: the header's path is rewritten only after
// the journal it will name has been found to belong to the set (no other
// set beside it names it, and the set is sound with it replayed), so a
// refused relocation changes nothing; the journal itself is never written.
#include "server/database/admin/relocate.h"

#include <sys/stat.h>

#include <filesystem>
#include <iostream>

#include "server/database/admin/header_rewrite.h"
#include "server/database/admin/set_access.h"
#include "server/database/support/errors.h"
#include "server/database/support/paths.h"
#include "server/database/support/text_format.h"

namespace admin {

namespace {

namespace fs = std::filesystem;

// `path` made absolute as the header must store it (support::absolute_path).
std::string absolute_path(const std::string& path) {
  std::error_code error;
  std::string absolute = support::absolute_path(path, error);
  if (error) {
    throw Failure{kUnopenable,
                  "cannot make " + support::quoted(path) + " absolute: " + error.message()};
  }
  return absolute;
}

bool is_journal_file(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
}

// Nothing in a journal names its set, but a journal beside another set's
// MDB whose header names it is that set's: two sets sharing one journal
// would replay each other's transactions.
void refuse_other_sets_journal(const SetFiles& files, const std::string& target) {
  const std::string beside = (fs::path(target).parent_path() / "main.odb").string();
  std::error_code error;
  if (!fs::exists(beside, error) || fs::equivalent(beside, files.mdb, error)) return;
  std::string named;
  try {
    const mdb::HeaderImage header = read_header(beside);
    if (mdb::header_magic(header) != mdb::kMdbMagic ||
        mdb::header_journal_type(header) != mdb::journal_external) {
      return;
    }
    named = mdb::decode_header_image(header).journal_path;
  } catch (const Failure&) {
    return;  // not readable as a set: it claims no journal
  } catch (const error::Exception&) {
    return;
  }
  if (fs::equivalent(named, target, error)) {
    throw Failure{kRefused, "the journal " + support::quoted(target) +
                                " belongs to the set whose header names it, " + beside};
  }
}

}  // namespace

int relocate(const std::string& directory, const std::string& journal) {
  const SetFiles files = set_files(directory);
  const auto lock = lock_set(files);
  const mdb::HeaderImage header = read_header(files.mdb);
  if (!has_external_journal(header, files.mdb)) {
    std::cout << files.mdb << " has an internal journal: nothing to relocate\n";
    return kDone;
  }
  const std::string target = absolute_path(journal.empty() ? files.journal : journal);
  if (!is_journal_file(target)) {
    throw Failure{kRefused, "the journal " + support::quoted(target) +
                                " does not exist or is not a file or block device"};
  }
  refuse_other_sets_journal(files, target);
  require_sound(files, target,
                "with the journal " + support::quoted(target) +
                    " the set is not sound, so the journal may not be its own: ");
  if (mdb::decode_header_image(header).journal_path == target) {
    std::cout << files.mdb << " already names the journal " << target << "\n";
    return kDone;
  }
  write_header(files.mdb, relocated_header(header, target));
  std::cout << files.mdb << " now names the journal " << target << "\n";
  return kDone;
}

}  // namespace admin
