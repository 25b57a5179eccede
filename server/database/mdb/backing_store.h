// The MDB backing store: the one file (or raw block device) that holds the
// meta database, read and written by block or by byte range.
//
// Every MDB layer except the memory-mapped journal reaches the disk through
// this class. It keeps the store's length in bytes, measured once at open
// and afterwards advanced by every write that extends the file. Writes past
// the length are refused unless the caller allows extension, and reads past
// it are refused before the disk is touched, so a failed range check reads
// or writes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "server/database/mdb/format.h"
#include "server/database/support/errors.h"
#include "server/database/support/file_io.h"

namespace mdb {

// The offset of the last byte of `fd` that can be read, found by reading
// single bytes at 8192, 16384, ... (doubling) and then bisecting between the
// last offset that worked and the first that did not. Works for files and
// raw devices alike. Empty when not even byte 0 can be read.
std::optional<std::uint64_t> last_readable_offset(int fd);

// The length in bytes that the probe above measures: last readable offset
// + 1, or 0 for a store that has no readable byte.
std::uint64_t measured_length(int fd);

class BackingStore {
 public:
  BackingStore() = default;
  ~BackingStore();
  BackingStore(const BackingStore&) = delete;
  BackingStore& operator=(const BackingStore&) = delete;

  // Opens an existing file or device for reading and writing (read-only:
  // for reading, with writes kept in memory) and measures its length.
  // REQUIRES: !is_open().
  void open(const std::string& path, bool read_only = false);
  // Closes the handle; does nothing when the store is not open.
  void close();
  // Flushes everything written to stable storage. After a failed call of
  // a read-write store, this and every write fail with that first error.
  void sync();
  // Sets the file position.
  void seek(std::uint64_t offset);

  // Reads count blocks starting at block `first` into buffer.
  // REQUIRES: buffer holds count * block_size() bytes.
  void read_blocks(void* buffer, std::uint32_t first, std::uint32_t count);
  // Reads `length` bytes at `offset`; refused past the store length.
  void read_bytes(void* buffer, std::uint64_t offset, std::size_t length);
  // Writes `length` bytes at `offset` and returns the count written. Past
  // the store length only with may_extend (journal replay and grow).
  std::size_t write_bytes(const void* buffer, std::uint64_t offset, std::size_t length,
                          bool may_extend);

  // Makes the store long enough to hold block n: grows by about a fifth of
  // its length, in whole zero blocks, at least one block. A raw device has a
  // fixed size and does not grow.
  void grow(std::uint32_t n);
  // Grows the store when block n lies beyond it; fails when it still does.
  void ensure_block(std::uint32_t n);
  // True when block n lies wholly inside the store.
  bool block_in_file(std::uint32_t n) const;

  bool is_open() const { return fd_.is_open(); }
  std::uint64_t length() const { return length_; }
  std::uint32_t block_size() const { return block_size_; }
  // REQUIRES: block_size is a non-zero power of two.
  void set_block_size(std::uint32_t block_size) { block_size_ = block_size; }
  bool is_device() const { return is_device_; }
  const std::string& path() const { return path_; }
  bool read_only() const { return read_only_; }

 private:
  // Throws `error`, first stopping the engine (fail_stop.h) when `stops`:
  // a call of a read-write store failed. A read that met the end of the
  // file failed no call and stops nothing.
  [[noreturn]] static void fail(const error_io& error, bool stops);
  static constexpr std::uint64_t kOverlayPiece = 4096;
  // Read-only mode: copies `length` bytes into the overlay, each touched
  // piece first filled from the file (zeros past its end).
  void overlay_write(const void* buffer, std::uint64_t offset, std::size_t length);
  // Read-only mode: lays the overlay over `length` bytes just read at
  // `offset`.
  void overlay_read(void* buffer, std::uint64_t offset, std::size_t length) const;
  // Read-only mode: pread that takes bytes past the file's end, but inside
  // the length the overlay reached, as zeros.
  bool read_with_overlay(void* buffer, std::uint64_t offset, std::size_t length);

  support::UniqueFd fd_;
  std::string path_;
  std::uint64_t length_ = 0;
  std::uint32_t block_size_ = kNewBlockSize;
  bool is_device_ = false;
  bool read_only_ = false;
  std::uint64_t file_length_ = 0;  // measured length; the overlay may pass it
  std::map<std::uint64_t, std::vector<std::uint8_t>> overlay_;  // by piece
};

}  // namespace mdb
