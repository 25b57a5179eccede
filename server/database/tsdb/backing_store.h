// The TSDB backing store: one open file (or device) seen as an array of
// blocks of one size.
//
// Owns the handle, the block size, the block count and the store directory
// (where free space is asked for). Invariants:
//   - the block count is measured once when the block size is set and then
//     only raised by btb_Grow, by the blocks a successful reservation or
//     write added, so after a failure it covers exactly the blocks the
//     store holds;
//   - every failure is a tsdb::error_io (or a subclass) and leaves handle
//     and block count as they were;
//   - fail-stop: after a failed write or flush, every write, growth,
//     zeroing and flush fails with that first error and writes nothing,
//     until the store is opened again;
//   - nothing is ever read back except the one-byte size probe;
//   - on a block device (opened exclusively) the store is the device's
//     first blocks: the block count starts at 0 when the block size is
//     set, btb_Grow zeroes the blocks after it, and cgs_space reports the
//     device's whole blocks beyond it, so growth never passes the device.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "server/database/support/file_io.h"

namespace tsdb {

// The directory of a store path, kept with its final separator. The
// separator is "/" when the path has a "/" and no "\", else "\". A bare
// drive ("D:") gets the separator appended; a path without any separator
// has an empty directory.
std::string store_directory(std::string_view path);

// Whole blocks of `block_size` in `free_bytes`, capped at 2^32 - 1.
std::uint32_t free_blocks_in(std::uint64_t free_bytes, std::uint32_t block_size);

class BackingStore {
 public:
  BackingStore() = default;
  ~BackingStore();
  BackingStore(const BackingStore&) = delete;
  BackingStore& operator=(const BackingStore&) = delete;

  // Opens an existing file or device for reading and writing, in place of
  // any store opened before. A device is opened exclusively (EBUSY while
  // mounted or held).
  void btb_Open(const std::string& path);
  // Sets the block size and measures the block count (0 on a device).
  // REQUIRES: open; block_size > 0.
  void btb_SetBlockSize(std::uint32_t block_size);
  // Moves the file position to block * B + offset, for sequential access.
  void btb_Seek(std::uint32_t block, std::uint32_t offset);
  // Writes count blocks from buffer at block `first` (the file position
  // is not used and not changed).
  // REQUIRES: buffer holds count * B bytes.
  void btb_WriteFile(std::uint32_t first, const std::uint8_t* buffer, std::uint32_t count);
  // Free space of the store's file system, in whole blocks, at most
  // 2^32 - 1 (see free_blocks_in); on a device, its blocks past the store.
  std::uint32_t cgs_space() const;
  // Appends n zero blocks.
  void btb_Grow(std::uint32_t n);
  // Overwrites every existing block with zeros.
  void btb_ZeroAll();
  // Flushes everything written to stable storage.
  void sync_writes();
  // Throws the failed write's or flush's error that stopped the store, if
  // one did.
  void throw_if_stopped() const;

  std::uint32_t btb_BlockCount() const { return block_count_; }
  std::uint32_t block_size() const { return block_size_; }
  const std::string& directory() const { return directory_; }
  bool is_open() const { return fd_.is_open(); }
  bool is_device() const { return is_device_; }
  // The size of the device in bytes; 0 for a file.
  std::uint64_t device_bytes() const { return device_bytes_; }

 private:
  // Keeps `error` as the one that stops the store, and throws it.
  template <typename Error>
  [[noreturn]] void stop(const Error& error);
  // True when exactly one byte can be read at byte block * B.
  bool probe(std::uint64_t block) const;
  // Zero runs: up to kZeroRunBytes, whole blocks, at least one block;
  // allocated once per block size and reused.
  static constexpr std::uint32_t kZeroRunBytes = 1 << 20;
  std::uint32_t zero_run_blocks() const;
  const std::uint8_t* zero_run();

  support::UniqueFd fd_;
  std::string directory_;
  std::uint32_t block_size_ = 0;
  std::uint32_t block_count_ = 0;
  bool is_device_ = false;
  std::uint64_t device_bytes_ = 0;
  std::uint32_t device_blocks_ = 0;  // whole blocks of the device
  std::vector<std::uint8_t> zero_run_;
  std::exception_ptr failure_;  // the write or flush that stopped the store
};

}  // namespace tsdb
