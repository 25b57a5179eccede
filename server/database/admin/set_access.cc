// Locking, reading and checking a set before a command changes it.
#include "server/database/admin/set_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "server/database/checker/mdb_check.h"
#include "server/database/checker/mdb_layout.h"
#include "server/database/checker/report.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace admin {

namespace fs = std::filesystem;

SetFiles set_files(const std::string& directory) {
  return {directory, (fs::path(directory) / "main.odb").string(),
          (fs::path(directory) / "main.odbj").string()};
}

std::unique_ptr<mdb::SetLock> lock_set(const SetFiles& files) {
  try {
    return std::make_unique<mdb::SetLock>(files.mdb, mdb::SetLock::Mode::exclusive);
  } catch (const mdb::error_in_use& e) {
    throw Failure{kRefused, e.text()};
  } catch (const error::Exception& e) {
    throw Failure{kUnopenable, e.text()};
  }
}

mdb::HeaderImage read_header(const std::string& mdb) {
  mdb::HeaderImage header{};
  const int fd = ::open(mdb.c_str(), O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd < 0 ? -1 : ::pread(fd, header.data(), header.size(), 0);
  const int error = errno;
  if (fd >= 0) ::close(fd);
  if (n < 0) {
    throw Failure{kUnopenable, "cannot read " + support::quoted(mdb) + ": " + std::strerror(error)};
  }
  if (static_cast<std::size_t>(n) < header.size()) {
    throw Failure{kRefused, support::quoted(mdb) + " is too short to hold an MDB header"};
  }
  return header;
}

bool has_external_journal(const mdb::HeaderImage& header, const std::string& mdb) {
  const std::string name = support::quoted(mdb);
  if (mdb::header_magic(header) != mdb::kMdbMagic) {
    throw Failure{kRefused, name + " does not look like a Vexmon Meta Database"};
  }
  try {
    switch (mdb::header_journal_type(header)) {
      case mdb::journal_internal:
        return false;
      case mdb::journal_external:
        mdb::decode_header_image(header);
        return true;
      default:
        break;
    }
  } catch (const error::Exception& e) {
    throw Failure{kRefused, name + ": " + e.text()};
  }
  throw Failure{kRefused, name + ": unknown journal type"};
}

void require_sound(const SetFiles& files, const std::string& journal, const std::string& refusal) {
  checker::Report report;
  try {
    checker::check_mdb({files.mdb, journal, {}}, false, report);
  } catch (const checker::Unopenable& failure) {
    throw Failure{kUnopenable, failure.text};
  }
  if (report.sound()) return;
  // problem_count() counts the problems past the listing cap as well.
  const std::uint64_t more = report.problem_count() - 1;
  throw Failure{
      kRefused,
      refusal + checker::problem_line(report.problems().front()) +
          (more ? " (and " + support::text_u64(more) + " more; see vexmon-dbcheck)" : "")};
}

}  // namespace admin
