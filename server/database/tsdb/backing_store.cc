// The TSDB backing store. See backing_store.h.
//
// Block writes are whole positioned writes (pwrite_full, which goes on
// after a short or interrupted call). A file grows by reserving its new
// blocks (fallocate), or else by writing them one zero block per call; a
// device is zeroed in runs of blocks from one zero buffer that lives as
// long as the store. Nothing is read back. On a block device the store is
// the device's first blocks: it starts with none, grows by zeroing the next
// ones, and the device's remaining blocks take the place of the file
// system's free space. Every call goes through the file layer (file_io.h).
// Fail-stop: the first failed write or flush is kept, and every later
// write, growth, zeroing and flush fails with it before touching the file;
// a failed flush may have dropped the pages it was to write, so nothing
// after it could be trusted to commit.
#include "server/database/tsdb/backing_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "server/database/support/errors.h"
#include "server/database/support/file_io.h"
#include "server/database/support/interruption.h"
#include "server/database/support/text_format.h"

namespace tsdb {

namespace {

std::string last_error_text() {
  return error::system_error_text(static_cast<std::uint32_t>(errno));
}

}  // namespace

std::string store_directory(std::string_view path) {
  if (path.empty()) return {};
  const bool slash =
      path.find('/') != std::string_view::npos && path.find('\\') == std::string_view::npos;
  const char separator = slash ? '/' : '\\';
  if (path.back() == ':') return std::string(path) + separator;
  if (path.back() == separator) return std::string(path);
  const std::size_t last = path.rfind(separator);
  if (last == std::string_view::npos) return {};
  return std::string(path.substr(0, last + 1));
}

BackingStore::~BackingStore() = default;

void BackingStore::btb_Open(const std::string& path) {
  directory_ = store_directory(path);
  if (directory_.empty()) {
    throw error_io("Cannot give empty name to TSDB backing store");
  }
  // A device is claimed exclusively: the open fails (EBUSY) while a file
  // system on it is mounted or another program holds it.
  struct stat target {};
  const bool device = ::stat(path.c_str(), &target) == 0 && S_ISBLK(target.st_mode);
  support::UniqueFd fd =
      support::open_file(path.c_str(), O_RDWR | O_CLOEXEC | (device ? O_EXCL : 0));
  if (!fd.is_open()) {
    throw error_open("Unable to open " + support::quoted(path) + ": " + last_error_text());
  }
  // Chain elements are scattered through the file: no read-ahead.
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_RANDOM);
  fd_ = std::move(fd);
  failure_ = nullptr;
  is_device_ = device;
  device_bytes_ = 0;
  if (device) {
    const off_t end = support::file_calls().lseek(fd_.get(), 0, SEEK_END);
    device_bytes_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
  }
}

bool BackingStore::probe(std::uint64_t block) const {
  std::uint8_t byte = 0;
  const support::Transfer t = support::pread_full(fd_.get(), &byte, 1, block * block_size_);
  // A read that fails, rather than meeting the end, must not pass for the
  // end: the store would be taken for shorter than it is.
  if (t.error != 0 && t.error != EOVERFLOW && t.error != EINVAL) {
    throw error_io("Cannot read block " + support::text_u64(block) + ": " +
                   support::quoted(error::system_error_text(static_cast<std::uint32_t>(t.error))));
  }
  return t.done == 1;
}

void BackingStore::btb_SetBlockSize(std::uint32_t block_size) {
  block_size_ = block_size;
  zero_run_.clear();
  if (is_device_) {
    // The store starts empty at the device's first block; the device's
    // whole blocks are the room it can grow into.
    block_count_ = 0;
    const std::uint64_t capacity = device_bytes_ / block_size;
    if (capacity > std::numeric_limits<std::uint32_t>::max()) {
      throw error_toobig("TSDB backing store is more than 2^32 blocks");
    }
    device_blocks_ = static_cast<std::uint32_t>(capacity);
    return;
  }
  // Block numbers are 32-bit: a store with a block 2^32 cannot be used.
  // Stopping the doubling there also ends it on a device that reads
  // without end.
  constexpr std::uint64_t kBlockLimit = std::uint64_t{1} << 32;
  // Find the last block that has at least one byte: double, then bisect.
  std::uint64_t lo = 0;
  std::uint64_t hi = 1024;
  if (probe(1024)) {
    lo = 1024;
    hi = 2048;
    while (hi < kBlockLimit && probe(hi)) {
      lo = hi;
      hi *= 2;
    }
    if (hi == kBlockLimit && probe(hi)) {
      throw error_toobig("TSDB backing store is more than 2^32 blocks");
    }
  }
  while (lo < hi - 1) {
    const std::uint64_t mid = (lo + hi) / 2;
    if (probe(mid)) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  const std::uint64_t count = probe(lo) ? lo + 1 : 0;
  if (count >= kBlockLimit) {
    throw error_toobig("TSDB backing store is more than 2^32 blocks");
  }
  block_count_ = static_cast<std::uint32_t>(count);
}

void BackingStore::btb_Seek(std::uint32_t block, std::uint32_t offset) {
  const std::uint64_t position = std::uint64_t{block} * block_size_ + offset;
  if (support::file_calls().lseek(fd_.get(), static_cast<off_t>(position), SEEK_SET) < 0) {
    throw error_seek("Unable to lseek to block #" + support::text_u32(block) + " ofs " +
                     support::text_u32(offset));
  }
}

void BackingStore::btb_WriteFile(std::uint32_t first, const std::uint8_t* buffer,
                                 std::uint32_t count) {
  // Positioned writes: growth writes one block per call, and a separate
  // seek per block would double the system calls. The position is
  // block * B in 64 bits, which always fits the file offset type.
  const std::uint64_t position = std::uint64_t{first} * block_size_;
  // 64-bit, so that no count can wrap the size and write less than asked.
  const std::uint64_t total = std::uint64_t{block_size_} * count;
  throw_if_stopped();
  if (total == 0) return;
  const support::Transfer t = support::pwrite_full(fd_.get(), buffer, total, position);
  if (!t.complete(total)) {
    // A write that makes no progress is a full device.
    errno = t.error != 0 ? t.error : ENOSPC;
    stop(error_read("Cannot seq. write " + support::text_u64(total) + " bytes at block " +
                    support::text_u32(first) + " offset " + support::text_u64(t.done) + ": " +
                    support::quoted(last_error_text())));
  }
}

std::uint32_t BackingStore::cgs_space() const {
  if (is_device_) return device_blocks_ - block_count_;
  struct statvfs info {};
  if (::statvfs(directory_.c_str(), &info) != 0) {
    throw error_io("Unable to get free space information from " + support::quoted(directory_) +
                   ": " + last_error_text());
  }
  return free_blocks_in(std::uint64_t{info.f_bavail} * std::uint64_t{info.f_frsize}, block_size_);
}

std::uint32_t free_blocks_in(std::uint64_t free_bytes, std::uint32_t block_size) {
  // A volume with room for more blocks than a TSDB can number reports that
  // maximum: no caller can use more, and growth past it is refused where
  // the block count would wrap.
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(free_bytes / block_size, std::numeric_limits<std::uint32_t>::max()));
}

void BackingStore::btb_Grow(std::uint32_t n) {
  throw_if_stopped();
  if (n == 0) return;
  // A file reserves the blocks in one call: the space is allocated and
  // reads back as zeros without being written. Where the file system
  // cannot do that (or has no room), zero blocks are written one by one,
  // so that running out of space reports the first block that did not fit.
  if (!is_device_ &&
      support::file_calls().fallocate(fd_.get(), 0,
                                      static_cast<off_t>(std::uint64_t{block_count_} * block_size_),
                                      static_cast<off_t>(std::uint64_t{n} * block_size_)) == 0) {
    block_count_ += n;
    return;
  }
  const std::uint32_t run = is_device_ ? zero_run_blocks() : 1;
  for (std::uint32_t k = 0; k < n;) {
    support::throw_if_interrupted();  // zeros take long: stop between runs
    const std::uint32_t count = std::min(run, n - k);
    btb_WriteFile(block_count_, zero_run(), count);
    block_count_ += count;
    k += count;
  }
}

void BackingStore::btb_ZeroAll() {
  const std::uint32_t run = zero_run_blocks();
  for (std::uint32_t block = 0; block < block_count_;) {
    support::throw_if_interrupted();
    const std::uint32_t count = std::min(run, block_count_ - block);
    btb_WriteFile(block, zero_run(), count);
    block += count;
  }
}

void BackingStore::sync_writes() {
  throw_if_stopped();
  if (support::file_calls().fsync(fd_.get()) != 0) {
    stop(error_io("flush failed with error: " + support::quoted(last_error_text())));
  }
}

void BackingStore::throw_if_stopped() const {
  if (failure_) std::rethrow_exception(failure_);
}

template <typename Error>
void BackingStore::stop(const Error& error) {
  failure_ = std::make_exception_ptr(error);
  throw error;
}

std::uint32_t BackingStore::zero_run_blocks() const {
  return std::max<std::uint32_t>(kZeroRunBytes / block_size_, 1);
}

const std::uint8_t* BackingStore::zero_run() {
  const std::size_t bytes = std::size_t{zero_run_blocks()} * block_size_;
  if (zero_run_.size() != bytes) zero_run_.assign(bytes, 0);
  return zero_run_.data();
}

}  // namespace tsdb
