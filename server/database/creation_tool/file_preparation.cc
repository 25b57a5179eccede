// Zero-filled pre-creation of the MDB, its external journal and the TSDB
// file. Files are created with O_CREAT|O_EXCL, so an existing database is
// never touched; a file's space is reserved where the file system can
// (it reads back as zeros), else zeros are written in 1 MiB pieces, as they
// are on a device. Every system call goes through the file layer.
#include "server/database/creation_tool/file_preparation.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "server/database/creation_tool/cleanup.h"
#include "server/database/creation_tool/run_failure.h"
#include "server/database/support/file_io.h"
#include "server/database/support/interruption.h"
#include "server/database/support/paths.h"
#include "server/database/support/text_format.h"

namespace creation_tool {

namespace {

// Ends the run with `text`, the quoted path and the system's reason.
[[noreturn]] void fail(const std::string& text, const std::string& path) {
  refuse_with_reason(text + support::quoted(path), errno);
}

// Writes `size` zero bytes from the start of `fd`, 1 MiB at a time,
// stopping between two pieces when the run has been interrupted.
void write_zeros(int fd, const std::string& path, std::uint64_t size) {
  static const char kZeros[1 << 20] = {};
  for (std::uint64_t done = 0; done < size;) {
    support::throw_if_interrupted();
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - done, sizeof kZeros));
    const support::Transfer written = support::pwrite_full(fd, kZeros, piece, done);
    if (written.error != 0) {
      errno = written.error;
      fail("Unable to write to ", path);
    }
    if (written.done != piece) refuse("write returned 0");
    done += piece;
  }
}

// Flushes the directory entry of a file just created in it.
bool sync_parent_directory(const std::string& path) {
  return support::file_calls().sync_directory(support::parent_directory(path).c_str()) == 0;
}

}  // namespace

void precreate_file(const std::string& path, std::uint64_t size) {
  support::UniqueFd fd =
      support::open_file(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (!fd.is_open()) fail("Unable to create file ", path);
  note_created_file(path);
  // Reserving the space gives the same zeros without writing them; where
  // the file system cannot, or has no room, the zeros are written and a
  // shortage fails as a write.
  if (size == 0 || support::file_calls().fallocate(fd.get(), 0, 0, static_cast<off_t>(size)) != 0) {
    write_zeros(fd.get(), path, size);
  }
  if (fd.close() != 0) fail("Failed closing file ", path);
  if (!sync_parent_directory(path)) fail("Failed closing file ", path);
}

void prepare_store(const std::string& path, std::uint64_t size) {
  // Exclusively: a device that holds a mounted file system, or that another
  // program holds, is refused (EBUSY) instead of overwritten.
  support::UniqueFd fd = support::open_file(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
  if (!fd.is_open()) fail("Unable to open store ", path);
  note_device_written(path, size);
  write_zeros(fd.get(), path, size);
  if (fd.close() != 0) fail("Failed closing store ", path);
}

}  // namespace creation_tool
