// Creating, opening and closing the MDB through its header, and the block
// arithmetic every layer uses. All act on the process-wide instance's store
// state (store_state()).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/database/mdb/backing_store.h"
#include "server/database/mdb/format.h"
#include "server/database/mdb/journal_file.h"

namespace mdb {

// The storage part of the open database: the backing store, the journal
// mapping and the resident header image with what the engine derives from
// it. The process-wide database (database.h) is one of these.
struct StoreState {
  BackingStore store;
  JournalFile journal;
  // Present while a header has been written or read and the store is open.
  std::optional<HeaderImage> header;
  std::string mdb_path;                    // name of the MDB file, set by open_store
  std::uint32_t first_map_block = 0;       // F
  std::uint32_t first_data_block = 0;      // D
  std::vector<std::uint32_t> index_roots;  // the header's root list
};

// The store state of the process-wide database.
StoreState& store_state();

// Remembers `path` as the MDB file name and opens the backing store
// (read-only: see BackingStore). REQUIRES: the store is not open.
void open_store(const std::string& path, bool read_only = false);

// Builds the header from `fields`, keeps it as the resident header image and
// writes it at byte 0 of the open store. An internal journal uses the start
// block and length, an external one the path.
// REQUIRES: the store is open and at least 1024 bytes long.
void create_header(const HeaderFields& fields);

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
