// Creating, opening and closing the MDB through its header, and the block
// arithmetic every layer uses. All act on the process-wide instance.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/database/mdb/header_image.h"

namespace mdb {

// Remembers `path` as the MDB file name and opens the backing store
// (read-only: see BackingStore). REQUIRES: the store is not open.
void open_store(const std::string& path, bool read_only = false);

// Builds the header from its arguments, keeps it as the resident header
// image and writes it at byte 0 of the open store. An internal journal uses
// the start block and length, an external one the path.
// REQUIRES: the store is open and at least 1024 bytes long.
void create_header(std::uint32_t block_size, journal_type_t journal_type,
                   const std::string& journal_path,
                   std::uint32_t journal_start_block,
                   std::uint32_t journal_blocks,
                   const std::vector<std::uint32_t>& index_roots,
                   std::uint32_t first_map_block,
                   std::uint32_t first_data_block);

// Reads and checks the header of the open store, sets the block size, maps
// the journal and returns the first data block D. A non-empty
// `journal_path` replaces the external journal path stored in the header.
std::uint32_t open_database(std::string_view journal_path = {});

// Flushes the backing store to stable storage.
void sync_store();

// Closes the backing store and forgets the header image.
void close_store();

// True once a header has been written or read (and the store not closed).
bool header_loaded();

bool block_in_file(std::uint32_t n);
std::uint64_t block_offset(std::uint32_t n);
std::uint32_t block_of(std::uint64_t offset);

// Refuses an update of n bytes at byte `target` of the MDB file that
// reaches past the blocks the allocation map has entries for, (D - F) * B
// blocks from block 0, with error_need_repair. A CRC protects a journal
// entry from random damage, not from pointing at the wrong place; nothing
// the engine writes lies past those blocks. Does nothing while no header
// is loaded.
void check_update_target(std::uint64_t target, std::uint64_t n);

// The index root list of the resident header image.
// REQUIRES: header_loaded().
std::uint32_t index_root_count();
std::uint32_t index_root(std::uint32_t i);

}  // namespace mdb
