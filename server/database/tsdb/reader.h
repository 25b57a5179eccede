// Reading a TSDB file without changing it: the header, the descriptors and
// which replica of each kind is current, and the walk of a replica's chain
// blocks with their entries.
//
// The file is opened read-only and read with pread_full; nothing is ever
// written. Every layout question goes to format.h. A damaged header fails
// the open with tsdb::error_consistency; a damaged chain does not fail the
// walk: the walk stops where it cannot go on and lists what it met, block
// by block, so a caller can report each fault.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "server/database/support/file_io.h"
#include "server/database/tsdb/format.h"

namespace tsdb {

// One fault of a chain: the block it was met in and what is wrong.
struct ChainFault {
  std::uint32_t block = 0;
  std::string text;
};

// What a walk of one replica found: its blocks in chain order, the number
// of elements and the faults. A walk stops at a block outside the file, a
// block met twice or a block that is not a chain block of the walked
// replica.
struct ReplicaWalk {
  std::uint32_t kind = 0;
  std::uint32_t replica = 0;
  std::vector<std::uint32_t> blocks;
  std::uint32_t elements = 0;
  // A block the chain names past the end of the file (0: none); the walk
  // stops there.
  std::uint32_t past_end = 0;
  std::vector<ChainFault> faults;

  // Entries the walked blocks hold.
  std::uint32_t capacity(std::uint32_t block_size) const;
};

// Receives entry number e of a replica and its value.
using EntryVisitor = std::function<void(std::uint32_t e, const EntryValue& value)>;

class Reader {
 public:
  Reader() = default;
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Opens `path` for reading (tsdb::error_io when it cannot) and reads the
  // header (tsdb::error_consistency when it is not a sound TSDB header:
  // magic, version, block size, replica count, or a file too short).
  void open(const std::string& path);
  void close();

  const HeaderFields& header() const { return header_; }
  std::span<const std::uint8_t> header_image() const { return image_; }
  std::uint64_t file_bytes() const { return file_bytes_; }
  // Whole blocks in the file.
  std::uint64_t file_blocks() const { return file_bytes_ / header_.block_size; }

  ChainDescriptor descriptor(const ChainKind& kind, std::uint32_t replica) const;
  bool descriptor_valid(const ChainKind& kind, std::uint32_t replica) const;
  // The replica a reader uses: see select_replica; kNoFreeEntry when no
  // descriptor of the kind is valid.
  std::uint32_t current_replica(const ChainKind& kind) const;

  // Walks the chain blocks of a replica from its descriptor's first block.
  // Keeps no block images, only their numbers. A chain whose blocks lie
  // scattered makes the reader take the headers of all blocks of the file
  // in one pass (16 bytes a block), which the walks after it use too.
  ReplicaWalk walk(const ChainKind& kind, std::uint32_t replica) const;
  // Visits every entry of the walked blocks, reading them again; keeps
  // nothing. The entries come in order, but those of a replica whose
  // blocks lie scattered come in the order of their blocks in the file.
  // False when a block can no longer be read.
  bool each_entry(const ReplicaWalk& walk, const EntryVisitor& visit) const;

  // Reads block n; false when it does not lie wholly inside the file.
  bool read_block(std::uint32_t n, std::vector<std::uint8_t>& buffer) const;
  // Reads `count` blocks from block `first` into `buffer`; false unless
  // they all lie wholly inside the file and could be read.
  // REQUIRES: buffer holds count * block size bytes.
  bool read_blocks(std::uint64_t first, std::uint64_t count, std::uint8_t* buffer) const;

 private:
  // Reads the chain block headers of every block of the file into headers_.
  void read_all_headers() const;

  support::UniqueFd fd_;
  std::uint64_t file_bytes_ = 0;
  HeaderFields header_;
  std::vector<std::uint8_t> image_;
  mutable std::vector<ChainBlockHeader> headers_;  // of every block, once read
};

}  // namespace tsdb
