// Creating and opening the MDB through its header.
//
// Opening checks, in this order: the magic, the version, the block size
// (announced before it is checked: a power of two from 1024 to 65536, the
// sizes every layer's formats can hold), then the journal type while
// mapping the journal. Only a header that passed every check becomes the
// resident header image. create_header writes whatever block size it is
// given.
#include "server/database/mdb/header.h"

#include <bit>
#include <string>

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

// The smallest block holds the 1024-byte header in block 0. With it an
// index node holds 84 keys and a leaf 63 entries, the objects of a new
// database fit an object block, and no capacity the layers compute from B
// can wrap below zero.
constexpr std::uint32_t kMinBlockSize = kHeaderSize;
// The largest block keeps a whole-block journal entry (every index change
// logs its block), a private copy per index level and the one-block buffers
// of the serialization cache and the raw access layer small beside the
// smallest journal the creation tool makes (4 MiB); 64 KiB is eight times
// the block size it writes. Without a bound a damaged header would have the open allocate
// and log gigabytes per block.
constexpr std::uint32_t kMaxBlockSize = 65536;

std::uint32_t checked_block_size(const HeaderImage& image) {
  const std::uint32_t block_size = header_block_size(image);
  diagnostic(kDiagNotice,
             "Using " + support::text_u32(block_size) + " byte MDB blocks");
  const std::string refused =
      "Blocksize is " + support::text_u32(block_size) + " bytes - but it must be ";
  if (!std::has_single_bit(block_size)) {
    throw error_unsupported(refused + "a power of two");
  }
  if (block_size < kMinBlockSize) {
    throw error_unsupported(refused + "at least " +
                            support::text_u32(kMinBlockSize) + " bytes");
  }
  if (block_size > kMaxBlockSize) {
    throw error_unsupported(refused + "at most " +
                            support::text_u32(kMaxBlockSize) + " bytes");
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

void open_store(const std::string& path, bool read_only) {
  Database& db = database();
  db.mdb_path = path;
  db.store.open(path, read_only);
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

void check_update_target(std::uint64_t target, std::uint64_t n) {
  const Database& db = database();
  if (!db.header) return;
  const std::uint32_t first_map_block = header_first_map_block(*db.header);
  const std::uint64_t blocks = db.first_data_block > first_map_block
                                   ? std::uint64_t{db.first_data_block - first_map_block} *
                                         db.store.block_size()
                                   : 0;
  const std::uint64_t limit = blocks * db.store.block_size();
  if (n > limit || target > limit - n) {
    throw error_need_repair("Update of " + support::text_u64(n) + " bytes at MDB offset " +
                            support::text_u64(target) + " lies beyond the " +
                            support::text_u64(blocks) + " blocks the allocation map covers");
  }
}

std::uint32_t index_root_count() {
  return header_index_root_count(resident_header());
}

std::uint32_t index_root(std::uint32_t i) {
  return header_index_root(resident_header(), i);
}

}  // namespace mdb
