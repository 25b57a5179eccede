// Creating and opening the MDB through its header.
//
// Opening checks, in this order: the magic, the version, the block size
// (announced before it is checked: a power of two within the format's
// bounds), then the journal type while mapping the journal, and last the
// fields after the journal fields. Only a header that passed every check
// becomes the resident header image. create_header writes whatever block
// size it is given.
#include "server/database/mdb/header.h"

#include <bit>
#include <string>

#include "server/database/mdb/diagnostics.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

namespace {

const std::vector<std::uint32_t>& resident_roots() {
  const StoreState& state = store_state();
  if (!state.header) throw error_internal("MDB header not loaded");
  return state.index_roots;
}

void check_identity(const HeaderImage& image) {
  if (header_magic(image) != kMdbMagic) {
    throw error_fubar("MDB file does not look like a Vexmon Meta Database");
  }
  const std::uint32_t version = header_version(image);
  if (version != kMdbVersion) {
    throw error_unsupported("This version of Vexmon does not support version " +
                            support::text_u32(version) + " databases");
  }
}

std::uint32_t checked_block_size(const HeaderImage& image) {
  const std::uint32_t block_size = header_block_size(image);
  diagnostic(kDiagNotice, "Using " + support::text_u32(block_size) + " byte MDB blocks");
  const std::string refused =
      "Blocksize is " + support::text_u32(block_size) + " bytes - but it must be ";
  if (!std::has_single_bit(block_size)) {
    throw error_unsupported(refused + "a power of two");
  }
  if (block_size < kMinBlockSize) {
    throw error_unsupported(refused + "at least " + support::text_u32(kMinBlockSize) + " bytes");
  }
  if (block_size > kMaxBlockSize) {
    throw error_unsupported(refused + "at most " + support::text_u32(kMaxBlockSize) + " bytes");
  }
  return block_size;
}

// Maps the journal the header names and returns every field. The journal
// is mapped before the fields after the journal fields are read, except
// when only those fields name it: the header's own external path.
HeaderFields map_journal(const HeaderImage& image, std::string_view journal_path) {
  StoreState& state = store_state();
  const std::uint64_t block_size = state.store.block_size();
  const bool read_only = state.store.read_only();  // the journal follows the store
  const std::uint32_t type = header_journal_type(image);
  if (type == journal_internal) {
    state.journal.open(state.mdb_path, internal_journal_start(image) * block_size,
                       internal_journal_blocks(image) * block_size, false, read_only);
  } else if (type == journal_external && !journal_path.empty()) {
    state.journal.open(std::string(journal_path), 0, 0, true, read_only);
  }
  HeaderFields fields = decode_header_image(image);  // "Unknown journal type"
  if (type == journal_external && journal_path.empty()) {
    state.journal.open(fields.journal_path, 0, 0, true, read_only);
  }
  return fields;
}

}  // namespace

void open_store(const std::string& path, bool read_only) {
  StoreState& state = store_state();
  state.mdb_path = path;
  state.store.open(path, read_only);
}

void create_header(const HeaderFields& fields) {
  const HeaderImage image = encode_header_image(fields);
  StoreState& state = store_state();
  state.store.set_block_size(fields.block_size);
  state.store.write_bytes(image.data(), 0, image.size(), false);
  state.header = image;
  state.first_map_block = fields.first_map_block;
  state.first_data_block = fields.first_data_block;
  state.index_roots = fields.index_roots;
}

std::uint32_t open_database(std::string_view journal_path) {
  StoreState& state = store_state();
  HeaderImage image{};
  state.store.read_bytes(image.data(), 0, image.size());
  check_identity(image);
  state.store.set_block_size(checked_block_size(image));
  const HeaderFields fields = map_journal(image, journal_path);
  state.first_map_block = fields.first_map_block;
  state.first_data_block = fields.first_data_block;
  state.index_roots = fields.index_roots;
  state.header = image;
  return state.first_data_block;
}

void sync_store() { store_state().store.sync(); }

void close_store() {
  StoreState& state = store_state();
  state.header.reset();
  state.first_map_block = 0;
  state.first_data_block = 0;
  state.index_roots.clear();
  state.store.close();
}

bool header_loaded() { return store_state().header.has_value(); }

bool block_in_file(std::uint32_t n) { return store_state().store.block_in_file(n); }

std::uint64_t block_offset(std::uint32_t n) {
  return std::uint64_t{n} * store_state().store.block_size();
}

std::uint32_t block_of(std::uint64_t offset) {
  return static_cast<std::uint32_t>(offset / store_state().store.block_size());
}

void check_update_target(std::uint64_t target, std::uint64_t n) {
  const StoreState& state = store_state();
  if (!state.header) return;
  const std::uint32_t f = state.first_map_block;
  const std::uint64_t blocks =
      state.first_data_block > f
          ? std::uint64_t{state.first_data_block - f} * state.store.block_size()
          : 0;
  const std::uint64_t limit = blocks * state.store.block_size();
  if (n > limit || target > limit - n) {
    throw error_need_repair("Update of " + support::text_u64(n) + " bytes at MDB offset " +
                            support::text_u64(target) + " lies beyond the " +
                            support::text_u64(blocks) + " blocks the allocation map covers");
  }
}

std::uint32_t index_root_count() { return static_cast<std::uint32_t>(resident_roots().size()); }

std::uint32_t index_root(std::uint32_t i) {
  const std::vector<std::uint32_t>& roots = resident_roots();
  if (i >= roots.size()) throw error_range("Invalid index root number");
  return roots[i];
}

}  // namespace mdb
