// The MDB header and the block layout it describes, read straight from the
// file before the engine opens it, so that a damaged header is reported
// field by field and the journal can be checked as it lies on disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/database/checker/report.h"

namespace checker {

struct MdbLayout {
  std::uint64_t file_bytes = 0;
  std::uint32_t block_size = 0;
  bool internal_journal = false;
  std::uint32_t journal_start = 0;   // internal: first block
  std::uint32_t journal_blocks = 0;  // internal: length in blocks
  std::string journal_path;          // external: from the header
  std::vector<std::uint32_t> roots;
  std::uint32_t first_map_block = 0;   // F
  std::uint32_t first_data_block = 0;  // D
  std::uint64_t blocks() const { return file_bytes / block_size; }
};

// Thrown when a file of the set cannot be opened at all (exit status 2).
struct Unopenable {
  std::string text;
};

// Reads and checks the header of the MDB at `path` and the layout it
// describes; reports each problem. Empty when the header is too damaged to
// go on with the MDB. Throws Unopenable when the file cannot be opened.
std::optional<MdbLayout> check_mdb_header(const std::string& path, const std::string& file,
                                          Report& report);

// Reads `length` bytes at `offset` of `path`; false when the file cannot
// be opened or is shorter.
bool read_file_range(const std::string& path, std::uint64_t offset, std::uint64_t length,
                     std::vector<std::uint8_t>& out);

// The length of the file or device at `path`; empty when it cannot be
// opened or is neither a regular file nor a block device.
std::optional<std::uint64_t> readable_length(const std::string& path);

}  // namespace checker
