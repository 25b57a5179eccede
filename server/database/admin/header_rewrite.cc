// The crash-safe header rewrite. A header built for the new path keeps
// the old one's block size, index roots and map bounds; its fields end
// inside the first 512-byte sector, and bytes 512 to 1023 are copied from
// the old header, so the one write changes a single sector. A power cut
// leaves that sector old or new, and either is a whole header: the old one
// finds its own tail (if it had one past byte 512) unchanged.
#include "server/database/admin/header_rewrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "server/database/admin/set_access.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace admin {

namespace {

// The byte after the last field of the header: F and D follow the root
// list and a reserved word.
std::size_t header_end(const mdb::HeaderFields& fields) {
  const std::size_t path_field = (fields.journal_path.size() + 7) / 8 * 8;  // NUL-padded
  return 20 + path_field + 16 + 4 * fields.index_roots.size();
}

}  // namespace

mdb::HeaderImage relocated_header(const mdb::HeaderImage& old_header,
                                  const std::string& journal_path) {
  mdb::HeaderFields fields = mdb::decode_header_image(old_header);
  fields.journal_type = mdb::journal_external;
  fields.journal_path = journal_path;
  if (header_end(fields) > kAtomicHeaderBytes) {
    throw Failure{kRefused, "the journal path " + support::quoted(journal_path) +
                                " is too long: the header must end within its first " +
                                support::text_size(kAtomicHeaderBytes) + " bytes"};
  }
  mdb::HeaderImage image;
  try {
    image = mdb::encode_header_image(fields);
  } catch (const error::Exception& e) {
    throw Failure{kRefused, e.text()};
  }
  std::copy(old_header.begin() + kAtomicHeaderBytes, old_header.end(),
            image.begin() + kAtomicHeaderBytes);
  return image;
}

void write_header(const std::string& mdb, const mdb::HeaderImage& header) {
  const int fd = ::open(mdb.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    throw Failure{kRefused,
                  "cannot open " + support::quoted(mdb) + " for writing: " + std::strerror(errno)};
  }
  const ssize_t written = ::pwrite(fd, header.data(), header.size(), 0);
  const int write_error = errno;
  const bool synced = written == static_cast<ssize_t>(header.size()) && ::fsync(fd) == 0;
  const int sync_error = errno;
  ::close(fd);
  if (written != static_cast<ssize_t>(header.size())) {
    throw Failure{kRefused, "writing the header of " + support::quoted(mdb) +
                                " failed: " + std::strerror(written < 0 ? write_error : EIO)};
  }
  if (!synced) {
    throw Failure{kRefused,
                  "syncing " + support::quoted(mdb) + " failed: " + std::strerror(sync_error)};
  }
}

}  // namespace admin
