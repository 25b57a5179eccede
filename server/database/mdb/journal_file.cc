// The mapped journal region: open, bounds-checked access, free space of the
// current half, header initialisation, sync and close.
//
// Invariants: base_ is null exactly when nothing is mapped, and then
// length_ is 0, so entry_at() refuses every offset. The mapping starts on a
// page boundary at or below the region's byte offset; base_ points at the
// region's first byte inside it. A read-only journal's mapping is private,
// so nothing stored into it reaches the file.
#include "server/database/mdb/journal_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "server/database/mdb/backing_store.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/fail_stop.h"
#include "server/database/mdb/journal_format.h"
#include "server/database/support/clock.h"
#include "server/database/support/errors.h"
#include "server/database/support/file_io.h"
#include "server/database/support/metrics_table.h"
#include "server/database/support/text_format.h"

namespace mdb {

namespace {

std::string system_text(int code) {
  return error::system_error_text(static_cast<std::uint32_t>(code));
}

[[noreturn]] void throw_map_failure(int code) {
  throw error_io(std::string("Cannot memory map journal: ") +
                 error::system_error_text_buffer(static_cast<std::uint32_t>(code)));
}

}  // namespace

JournalFile::~JournalFile() {
  if (mapping_ != nullptr) support::file_calls().munmap(mapping_, mapping_size_);
}

void JournalFile::open(const std::string& path, std::uint64_t offset, std::uint64_t length,
                       bool external, bool read_only) {
  // An external journal device is claimed exclusively, like the MDB's own
  // device (see BackingStore::open); an internal journal lies on the MDB's
  // device, which the open store holds already.
  struct stat target {};
  const bool exclusive =
      !read_only && external && ::stat(path.c_str(), &target) == 0 && S_ISBLK(target.st_mode);
  support::UniqueFd fd = support::open_file(
      path.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC | (exclusive ? O_EXCL : 0));
  if (!fd.is_open()) {
    const int code = errno;
    throw error_open("Cannot open journal in " + support::quoted(path) + ": " + system_text(code));
  }
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_RANDOM);
  // Measuring also guards against mapping past the end of the file, where
  // any access to the mapping would kill the process.
  const std::uint64_t file_length = measured_length(fd.get());
  if (length == 0) {
    length = file_length > offset ? file_length - offset : 0;
    diagnostic(kDiagInfo, "Will use " + support::text_u64(length) + " as journal length");
  }
  if (length == 0 || offset > file_length || length > file_length - offset) {
    throw_map_failure(EINVAL);
  }
  // Journal offsets are 32-bit numbers.
  if (length > std::numeric_limits<std::uint32_t>::max()) {
    throw_map_failure(EFBIG);
  }
  const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t map_offset = offset - offset % page;
  const std::size_t lead = static_cast<std::size_t>(offset - map_offset);
  const std::size_t size = lead + static_cast<std::size_t>(length);
  void* mapping =
      support::file_calls().mmap(size, PROT_READ | PROT_WRITE, read_only ? MAP_PRIVATE : MAP_SHARED,
                                 fd.get(), static_cast<off_t>(map_offset));
  if (mapping == MAP_FAILED) throw_map_failure(errno);
  fd_ = std::move(fd);
  path_ = path;
  offset_ = offset;
  mapping_ = mapping;
  mapping_size_ = size;
  base_ = static_cast<std::uint8_t*>(mapping) + lead;
  length_ = static_cast<std::uint32_t>(length);
  external_ = external;
  read_only_ = read_only;
  diagnostic(kDiagInfo, "Journal: [" + support::text_u64(offset) + " : " +
                            support::text_u64(offset + length) + ")");
}

std::uint8_t* JournalFile::entry_at(std::uint64_t offset) const {
  if (offset >= length_) {
    throw error_range("Access beyond end of journal attempted");
  }
  return base_ + offset;
}

std::uint8_t* JournalFile::index_pointer(std::uint32_t i) const {
  if (i > 1) throw error_range("Invalid journal index");
  const std::uint64_t offset = kIndexPointerOffset + i * kIndexPointerSize;
  entry_at(offset + kIndexPointerSize - 1);  // the whole pointer must fit
  return entry_at(offset);
}

std::uint32_t JournalFile::free_space() const {
  const std::uint32_t position = cursor.write_position;
  if (!position_in_half(length_, cursor.half, position)) {
    throw error_internal("Writing in wrong half of journal (pos=" + support::text_u32(position) +
                         ")");
  }
  const std::uint32_t end = half_bounds(length_, cursor.half).usable_end;
  return position < end ? end - position : 0;
}

void JournalFile::zero(std::uint32_t offset, std::uint32_t length) {
  if (length == 0) return;
  std::uint8_t* start = entry_at(offset);
  entry_at(std::uint64_t{offset} + length - 1);
  if (!read_only_ &&
      support::file_calls().fallocate(fd_.get(), FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE,
                                      static_cast<off_t>(offset_ + offset), length) == 0) {
    return;
  }
  std::memset(start, 0, length);
}

void JournalFile::init_header() {
  entry_at(kJournalHeaderSize - 1);  // the header must fit in the region
  encode_fresh_journal_header(entry_at(0));
  sync();
}

void JournalFile::sync() {
  if (read_only_) return;
  throw_if_stopped();
  const support::time_value start = support::now();
  if (support::file_calls().msync(mapping_, mapping_size_, MS_SYNC) != 0) {
    stop_engine(error_io("Error when syncing journal"));
  }
  if (::futimens(fd_.get(), nullptr) != 0) {
    stop_engine(error_io("Cannot set modification time on journal"));
  }
  meter::journal_sync.record_duration(support::elapsed(support::now(), start));
}

void JournalFile::close() {
  if (base_ == nullptr) return;
  // A stopped engine writes nothing more: the journal is let go unsynced.
  const bool stopped = engine_stopped();
  if (!stopped) sync();
  const bool read_only = read_only_;
  void* mapping = mapping_;
  const std::size_t size = mapping_size_;
  base_ = nullptr;
  mapping_ = nullptr;
  mapping_size_ = 0;
  length_ = 0;
  read_only_ = false;
  cursor = {};
  // A failed unmap or close of a writable journal stops the engine too.
  const auto fail = [read_only](const error_io& error) {
    if (read_only) throw error;
    stop_engine(error);
  };
  if (support::file_calls().munmap(mapping, size) != 0) {
    const int code = errno;
    fd_.close();
    fail(error_io("Cannot unmap the journal: " + system_text(code)));
  }
  if (fd_.close() != 0) fail(error_io("Cannot close the journal handle: " + system_text(errno)));
  if (stopped) throw_if_stopped();
}

}  // namespace mdb
