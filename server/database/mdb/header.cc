// Creating and opening the MDB through its header.
//
// Opening checks, in this order: the magic, the version, the block size
// (announced before it is checked), then the journal type while mapping the
// journal. Only a header that passed every check becomes the resident
// header image.
#include "server/database/mdb/header.h"

#include <bit>

#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

namespace {

const HeaderImage& resident_header() {
  const Database& db = database();
  if (!db.header) throw error_internal("MDB header not loaded");
  return *db.header;
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
  diagnostic(kDiagNotice,
             "Using " + support::text_u32(block_size) + " byte MDB blocks");
  if (!std::has_single_bit(block_size)) {
    throw error_unsupported("Blocksize is " + support::text_u32(block_size) +
                            " bytes - but it must be a power of two");
  }
  return block_size;
}

void map_journal(const HeaderImage& image, std::string_view journal_path) {
  Database& db = database();
  const std::uint64_t block_size = db.store.block_size();
  switch (header_journal_type(image)) {
    case journal_internal:
      open_journal(db.mdb_path, internal_journal_start(image) * block_size,
                   internal_journal_blocks(image) * block_size, false);
      return;
    case journal_external:
      open_journal(journal_path.empty() ? external_journal_path(image)
                                        : std::string(journal_path),
                   0, 0, true);
      return;
    default:
      throw error_unsupported("Unknown journal type");
  }
}

}  // namespace

void open_store(const std::string& path) {
  Database& db = database();
  db.mdb_path = path;
  db.store.open(path);
}

void create_header(std::uint32_t block_size, journal_type_t journal_type,
                   const std::string& journal_path,
                   std::uint32_t journal_start_block,
                   std::uint32_t journal_blocks,
                   const std::vector<std::uint32_t>& index_roots,
                   std::uint32_t first_map_block,
                   std::uint32_t first_data_block) {
  const HeaderImage image = build_header_image(
      {block_size, journal_type, journal_path, journal_start_block,
       journal_blocks, index_roots, first_map_block, first_data_block});
  Database& db = database();
  db.store.set_block_size(block_size);
  db.store.write_bytes(image.data(), 0, image.size(), false);
  db.header = image;
  db.first_data_block = first_data_block;
}

std::uint32_t open_database(std::string_view journal_path) {
  Database& db = database();
  HeaderImage image{};
  db.store.read_bytes(image.data(), 0, image.size());
  check_identity(image);
  db.store.set_block_size(checked_block_size(image));
  map_journal(image, journal_path);
  db.first_data_block = header_first_data_block(image);
  db.header = image;
  return db.first_data_block;
}

void sync_store() { database().store.sync(); }

void close_store() {
  Database& db = database();
  db.header.reset();
  db.first_data_block = 0;
  db.store.close();
}

bool header_loaded() { return database().header.has_value(); }

bool block_in_file(std::uint32_t n) { return database().store.block_in_file(n); }

std::uint64_t block_offset(std::uint32_t n) {
  return std::uint64_t{n} * database().store.block_size();
}

std::uint32_t block_of(std::uint64_t offset) {
  return static_cast<std::uint32_t>(offset / database().store.block_size());
}

std::uint32_t index_root_count() {
  return header_index_root_count(resident_header());
}

std::uint32_t index_root(std::uint32_t i) {
  return header_index_root(resident_header(), i);
}

}  // namespace mdb
