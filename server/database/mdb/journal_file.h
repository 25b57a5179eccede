// The journal file: the journal region mapped into memory as one contiguous
// byte range, shared with the file so that stores into it reach the disk.
//
// The region is either a whole file or device of its own (external) or a
// run of blocks inside the MDB file (internal). Journal offsets run from 0
// to length() - 1; entry_at() refuses anything beyond. The cursor holds the
// position of the current turn (write position, half, serial); the
// transaction layer advances it, this class only reads it for free_space().
// Closing syncs first, so everything written through the mapping is in the
// file once close() returns.
//
// Opened read-only, the file is opened O_RDONLY and mapped privately: stores
// into the mapping (a replay's flip, zeroing) stay in this process's memory,
// and sync and the modification time stamp are skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "server/database/support/file_io.h"

namespace mdb {

struct JournalCursor {
  std::uint32_t write_position = 0;  // journal offset of the next entry
  std::uint32_t half = 0;            // 0 lower, 1 upper
  std::uint64_t serial = 0;          // serial of the current turn
};

class JournalFile {
 public:
  JournalFile() = default;
  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  // Opens `path` and maps its bytes [offset, offset + length). Length 0
  // means: up to the end of the file. `external` says whether the journal
  // has a file of its own. REQUIRES: !is_mapped().
  void open(const std::string& path, std::uint64_t offset, std::uint64_t length, bool external,
            bool read_only = false);

  // The address of journal byte `offset`.
  std::uint8_t* entry_at(std::uint64_t offset) const;
  // The address of index pointer i (0 or 1) in the journal header.
  std::uint8_t* index_pointer(std::uint32_t i) const;
  // Usable bytes left in the current half after the write position.
  std::uint32_t free_space() const;

  // Sets journal bytes [offset, offset + length) to zero. Where the file
  // system can, the range is zeroed in the file itself (its space stays
  // reserved and the mapping reads zeros without touching each page);
  // elsewhere, on devices for instance, it is cleared through the mapping.
  // Not synced. REQUIRES: the range lies inside the journal.
  void zero(std::uint32_t offset, std::uint32_t length);
  // Writes a fresh journal header (both pointers serial 0, start 0) and
  // syncs. The entries area is not touched.
  void init_header();
  // Flushes the whole mapping to the file and stamps the file's
  // modification time; the time taken goes to the journal "sync" timing.
  // A failure stops the engine (fail_stop.h); a stopped engine's sync fails
  // with the error that stopped it.
  void sync();
  // Syncs, unmaps and closes; does nothing when nothing is mapped. With the
  // engine stopped it unmaps and closes without a sync, then fails with the
  // error that stopped it.
  void close();

  bool is_mapped() const { return base_ != nullptr; }
  bool is_external() const { return external_; }
  bool read_only() const { return read_only_; }
  std::uint32_t length() const { return length_; }

  JournalCursor cursor;

 private:
  support::UniqueFd fd_;
  std::string path_;
  std::uint64_t offset_ = 0;  // file offset of journal byte 0
  void* mapping_ = nullptr;   // page-aligned start of the mapping
  std::size_t mapping_size_ = 0;
  std::uint8_t* base_ = nullptr;  // journal offset 0 inside the mapping
  std::uint32_t length_ = 0;
  bool external_ = false;
  bool read_only_ = false;
};

}  // namespace mdb
