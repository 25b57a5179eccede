// The MDB backing store.
//
// Invariants: length_ is the real length of the store: measured at open,
// then advanced by every write that ends past it (growth, and the journal
// replay, which may write blocks the file never reached before a power
// cut). Growth starts at length_, so it can never zero-fill bytes that a
// write put there. Every read is range-checked or reads whole blocks;
// reads and writes go through pread/pwrite, so the shared file position is
// never relied upon.
#include "server/database/mdb/backing_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/sync_observer.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

namespace {

constexpr std::uint64_t kFirstProbe = 8192;
constexpr std::uint64_t kMaxPosition =
    static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

bool byte_readable(int fd, std::uint64_t offset) {
  if (offset > kMaxPosition) return false;
  std::uint8_t byte;
  return ::pread(fd, &byte, 1, static_cast<off_t>(offset)) == 1;
}

// A file offset the system can take, or the seek failure.
off_t checked_position(std::uint64_t offset) {
  if (offset > kMaxPosition) {
    throw error_seek("Unable to seek to position in MDB");
  }
  return static_cast<off_t>(offset);
}

// The last system error as the quoted text of the store's messages.
std::string quoted_system_error(int code) {
  return support::quoted(
      error::system_error_text(static_cast<std::uint32_t>(code)));
}

// True when `end` (an offset plus a length) lies beyond `limit`, without
// overflow.
bool range_exceeds(std::uint64_t offset, std::uint64_t length,
                   std::uint64_t limit) {
  return length > limit || offset > limit - length;
}

}  // namespace

std::optional<std::uint64_t> last_readable_offset(int fd) {
  if (!byte_readable(fd, 0)) return std::nullopt;
  std::uint64_t lo = 0;
  std::uint64_t hi = kFirstProbe;
  while (byte_readable(fd, hi)) {
    lo = hi;
    if (hi > kMaxPosition / 2) {
      hi = kMaxPosition;
      break;
    }
    hi *= 2;
  }
  while (lo + 1 < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (byte_readable(fd, mid)) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return lo;
}

std::uint64_t measured_length(int fd) {
  const std::optional<std::uint64_t> last = last_readable_offset(fd);
  return last ? *last + 1 : 0;
}

BackingStore::~BackingStore() {
  if (fd_ >= 0) ::close(fd_);
}

void BackingStore::open(const std::string& path) {
  // A device is claimed exclusively: the open fails (EBUSY) while a file
  // system on it is mounted or another program holds it, instead of
  // overwriting what they own.
  struct stat target {};
  const bool device =
      ::stat(path.c_str(), &target) == 0 && S_ISBLK(target.st_mode);
  const int fd =
      ::open(path.c_str(), O_RDWR | O_CLOEXEC | (device ? O_EXCL : 0));
  if (fd < 0) {
    throw error_open("Cannot open database for read/write in " +
                     support::quoted(path));
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  struct stat status {};
  is_device_ = ::fstat(fd, &status) == 0 && S_ISBLK(status.st_mode);
  fd_ = fd;
  path_ = path;
  length_ = measured_length(fd);
}

void BackingStore::close() {
  if (fd_ < 0) return;
  const int fd = fd_;
  fd_ = -1;
  length_ = 0;
  if (::close(fd) != 0) throw error_io("Error when closing the database");
}

void BackingStore::sync() {
  if (::fsync(fd_) != 0) throw error_io("sync error on backing store");
  report_sync(path_, 0, 0);
}

void BackingStore::seek(std::uint64_t offset) {
  errno = 0;
  if (::lseek(fd_, checked_position(offset), SEEK_SET) < 0) {
    throw error_seek("Unable to seek to position in MDB");
  }
}

void BackingStore::read_blocks(void* buffer, std::uint32_t first,
                               std::uint32_t count) {
  const std::uint64_t bytes = std::uint64_t{count} * block_size_;
  const off_t position = checked_position(std::uint64_t{first} * block_size_);
  errno = 0;
  const ssize_t got = ::pread(fd_, buffer, bytes, position);
  if (got < 0 || static_cast<std::uint64_t>(got) != bytes) {
    throw error_io("Could not block-read: " + quoted_system_error(errno));
  }
}

void BackingStore::read_bytes(void* buffer, std::uint64_t offset,
                              std::size_t length) {
  if (range_exceeds(offset, length, length_)) {
    throw error_range("Read beyond end of object backing store attempted");
  }
  const off_t position = checked_position(offset);
  errno = 0;
  const ssize_t got = ::pread(fd_, buffer, length, position);
  if (got < 0 || static_cast<std::size_t>(got) != length) {
    throw error_io("Could not byte-read: " + quoted_system_error(errno));
  }
}

std::size_t BackingStore::write_bytes(const void* buffer, std::uint64_t offset,
                                      std::size_t length, bool may_extend) {
  if (!may_extend && range_exceeds(offset, length, length_)) {
    throw error_range("Write beyond end of object backing store attempted");
  }
  const off_t position = checked_position(offset);
  errno = 0;
  const ssize_t written = ::pwrite(fd_, buffer, length, position);
  if (written < 0) {
    throw error_io("Could not byte-write: " + quoted_system_error(errno));
  }
  if (static_cast<std::size_t>(written) != length) {
    throw error_io("Could not byte-write: written=" +
                   support::text_u64(static_cast<std::uint64_t>(written)) +
                   " byte_len=" + support::text_size(length));
  }
  length_ = std::max(length_, std::uint64_t{offset} + length);
  return length;
}

void BackingStore::grow(std::uint32_t n) {
  if (is_device_) return;
  const std::uint64_t block = block_size_;
  std::uint64_t step = (length_ / 100) * 20;
  step -= step % block;
  if (step == 0) step = block;
  const std::uint64_t target =
      std::max((std::uint64_t{n} + 1) * block, length_ + step);
  diagnostic(kDiagInfo, "Attempting to grow MDB from " +
                            support::text_u64(length_) + " bytes to " +
                            support::text_u64(target) + " bytes");
  const std::vector<std::uint8_t> zeros(block_size_, 0);
  while (length_ < target) write_bytes(zeros.data(), length_, block_size_, true);
}

void BackingStore::ensure_block(std::uint32_t n) {
  if (block_in_file(n)) return;
  grow(n);
  if (!block_in_file(n)) {
    throw error_dbnospace("Cannot grow the MDB to accomodate block " +
                          support::text_u32(n));
  }
}

bool BackingStore::block_in_file(std::uint32_t n) const {
  return (std::uint64_t{n} + 1) * block_size_ <= length_;
}

}  // namespace mdb
