// The MDB backing store.
//
// Invariants: length_ is the real length of the store: measured at open,
// then advanced by every write that ends past it (growth, and the journal
// replay, which may write blocks the file never reached before a power
// cut). Growth starts at length_, so it can never zero-fill bytes that a
// write put there. Every read is range-checked or reads whole blocks;
// reads and writes go through the file layer's whole transfers
// (pread_full/pwrite_full), so the shared file position is never relied
// upon and a short or interrupted call is continued, not taken for a
// failure. A read-write store that a call failed on stops the engine
// (fail_stop.h): no later write or sync reaches the file. A read-only store never writes its file:
// writes go to the overlay, whose pieces hold the file's bytes as changed since the open, and every
// read returns the file's bytes with the overlay on top.
#include "server/database/mdb/backing_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/fail_stop.h"
#include "server/database/support/errors.h"
#include "server/database/support/file_io.h"
#include "server/database/support/text_format.h"

namespace mdb {

namespace {

constexpr std::uint64_t kFirstProbe = 8192;
constexpr std::uint64_t kMaxPosition =
    static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// The last system error as the quoted text of the store's messages.
std::string quoted_system_error(int code) {
  return support::quoted(error::system_error_text(static_cast<std::uint32_t>(code)));
}

// True when the byte at `offset` exists. A read that fails, rather than
// meeting the end, fails the probe: a length guessed short would misplace
// the journal's halves.
bool byte_readable(int fd, std::uint64_t offset) {
  if (offset > kMaxPosition) return false;
  std::uint8_t byte;
  const support::Transfer t = support::pread_full(fd, &byte, 1, offset);
  if (t.error != 0 && t.error != EOVERFLOW && t.error != EINVAL) {
    throw error_io("Could not byte-read: " + quoted_system_error(t.error));
  }
  return t.done == 1;
}

// A file offset the system can take, or the seek failure.
off_t checked_position(std::uint64_t offset) {
  if (offset > kMaxPosition) {
    throw error_seek("Unable to seek to position in MDB");
  }
  return static_cast<off_t>(offset);
}

// True when `end` (an offset plus a length) lies beyond `limit`, without
// overflow.
bool range_exceeds(std::uint64_t offset, std::uint64_t length, std::uint64_t limit) {
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

BackingStore::~BackingStore() = default;

void BackingStore::open(const std::string& path, bool read_only) {
  clear_stopped_state();  // a new session, whether or not the open succeeds
  // A device is claimed exclusively: the open fails (EBUSY) while a file
  // system on it is mounted or another program holds it, instead of
  // overwriting what they own.
  struct stat target {};
  const bool device = ::stat(path.c_str(), &target) == 0 && S_ISBLK(target.st_mode);
  // A reader claims nothing: it may look at a device a server holds.
  support::UniqueFd fd = support::open_file(
      path.c_str(), read_only ? O_RDONLY | O_CLOEXEC : O_RDWR | O_CLOEXEC | (device ? O_EXCL : 0));
  if (!fd.is_open()) {
    throw error_open(std::string(read_only ? "Cannot open database for reading in "
                                           : "Cannot open database for read/write in ") +
                     support::quoted(path));
  }
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_RANDOM);
  struct stat status {};
  is_device_ = ::fstat(fd.get(), &status) == 0 && S_ISBLK(status.st_mode);
  length_ = measured_length(fd.get());
  fd_ = std::move(fd);
  path_ = path;
  file_length_ = length_;
  read_only_ = read_only;
  overlay_.clear();
}

void BackingStore::close() {
  if (!fd_.is_open()) return;
  const bool read_only = read_only_;
  length_ = 0;
  file_length_ = 0;
  read_only_ = false;
  overlay_.clear();
  if (fd_.close() != 0) fail(error_io("Error when closing the database"), !read_only);
}

void BackingStore::sync() {
  if (read_only_) return;
  throw_if_stopped();
  if (support::file_calls().fsync(fd_.get()) != 0) {
    fail(error_io("sync error on backing store"), true);
  }
}

void BackingStore::fail(const error_io& error, bool stops) {
  if (!stops) throw error;
  stop_engine(error);
}

void BackingStore::seek(std::uint64_t offset) {
  errno = 0;
  if (support::file_calls().lseek(fd_.get(), checked_position(offset), SEEK_SET) < 0) {
    throw error_seek("Unable to seek to position in MDB");
  }
}

void BackingStore::read_blocks(void* buffer, std::uint32_t first, std::uint32_t count) {
  const std::uint64_t bytes = std::uint64_t{count} * block_size_;
  const off_t position = checked_position(std::uint64_t{first} * block_size_);
  if (read_only_) {
    if (!read_with_overlay(buffer, static_cast<std::uint64_t>(position), bytes)) {
      throw error_io("Could not block-read: " + quoted_system_error(errno));
    }
    return;
  }
  const support::Transfer t =
      support::pread_full(fd_.get(), buffer, bytes, static_cast<std::uint64_t>(position));
  if (!t.complete(bytes)) {
    fail(error_io("Could not block-read: " + quoted_system_error(t.error)), t.error != 0);
  }
}

void BackingStore::read_bytes(void* buffer, std::uint64_t offset, std::size_t length) {
  if (range_exceeds(offset, length, length_)) {
    throw error_range("Read beyond end of object backing store attempted");
  }
  checked_position(offset);
  if (read_only_) {
    if (!read_with_overlay(buffer, offset, length)) {
      throw error_io("Could not byte-read: " + quoted_system_error(errno));
    }
    return;
  }
  const support::Transfer t = support::pread_full(fd_.get(), buffer, length, offset);
  if (!t.complete(length)) {
    fail(error_io("Could not byte-read: " + quoted_system_error(t.error)), t.error != 0);
  }
}

std::size_t BackingStore::write_bytes(const void* buffer, std::uint64_t offset, std::size_t length,
                                      bool may_extend) {
  if (!may_extend && range_exceeds(offset, length, length_)) {
    throw error_range("Write beyond end of object backing store attempted");
  }
  checked_position(offset);
  if (read_only_) {
    overlay_write(buffer, offset, length);
    length_ = std::max(length_, std::uint64_t{offset} + length);
    return length;
  }
  throw_if_stopped();
  const support::Transfer t = support::pwrite_full(fd_.get(), buffer, length, offset);
  if (t.error != 0) {
    fail(error_io("Could not byte-write: " + quoted_system_error(t.error)), true);
  }
  if (t.done != length) {
    fail(error_io("Could not byte-write: written=" + support::text_size(t.done) +
                  " byte_len=" + support::text_size(length)),
         true);
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
  const std::uint64_t target = std::max((std::uint64_t{n} + 1) * block, length_ + step);
  diagnostic(kDiagInfo, "Attempting to grow MDB from " + support::text_u64(length_) + " bytes to " +
                            support::text_u64(target) + " bytes");
  const std::vector<std::uint8_t> zeros(block_size_, 0);
  while (length_ < target) write_bytes(zeros.data(), length_, block_size_, true);
}

void BackingStore::ensure_block(std::uint32_t n) {
  if (block_in_file(n)) return;
  grow(n);
  if (!block_in_file(n)) {
    throw error_dbnospace("Cannot grow the MDB to accomodate block " + support::text_u32(n));
  }
}

bool BackingStore::block_in_file(std::uint32_t n) const {
  return (std::uint64_t{n} + 1) * block_size_ <= length_;
}

bool BackingStore::read_with_overlay(void* buffer, std::uint64_t offset, std::size_t length) {
  if (range_exceeds(offset, length, length_)) {
    // Beyond everything the file and the overlay hold: read as a
    // read-write store would, so that the failure is the same.
    checked_position(offset);
    const support::Transfer t = support::pread_full(fd_.get(), buffer, length, offset);
    errno = t.error;
    return t.complete(length);
  }
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  std::size_t from_file = 0;
  if (offset < file_length_) {
    from_file = static_cast<std::size_t>(std::min<std::uint64_t>(length, file_length_ - offset));
    const support::Transfer t = support::pread_full(fd_.get(), bytes, from_file, offset);
    errno = t.error;
    if (!t.complete(from_file)) return false;
  }
  std::fill(bytes + from_file, bytes + length, std::uint8_t{0});
  overlay_read(buffer, offset, length);
  return true;
}

void BackingStore::overlay_write(const void* buffer, std::uint64_t offset, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  std::uint64_t position = offset;
  const std::uint64_t end = offset + length;
  while (position < end) {
    const std::uint64_t piece = position / kOverlayPiece;
    const std::uint64_t piece_start = piece * kOverlayPiece;
    auto [it, fresh] = overlay_.try_emplace(piece);
    if (fresh) {
      it->second.assign(kOverlayPiece, 0);
      if (piece_start < file_length_) {
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>(kOverlayPiece, file_length_ - piece_start));
        const support::Transfer t =
            support::pread_full(fd_.get(), it->second.data(), count, piece_start);
        if (!t.complete(count)) {
          overlay_.erase(it);
          throw error_io("Could not byte-read: " + quoted_system_error(t.error));
        }
      }
    }
    const std::uint64_t take = std::min(end, piece_start + kOverlayPiece) - position;
    std::copy_n(bytes + (position - offset), take, it->second.data() + (position - piece_start));
    position += take;
  }
}

void BackingStore::overlay_read(void* buffer, std::uint64_t offset, std::size_t length) const {
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  const std::uint64_t end = offset + length;
  for (auto it = overlay_.lower_bound(offset / kOverlayPiece);
       it != overlay_.end() && it->first * kOverlayPiece < end; ++it) {
    const std::uint64_t piece_start = it->first * kOverlayPiece;
    const std::uint64_t from = std::max(offset, piece_start);
    const std::uint64_t to = std::min(end, piece_start + kOverlayPiece);
    std::copy(it->second.data() + (from - piece_start), it->second.data() + (to - piece_start),
              bytes + (from - offset));
  }
}

}  // namespace mdb
