// Encoding and decoding the MDB header, the layout of a new database and the
// node id value of a property record.
//
// Every read of a field behind the journal fields goes through
// index_list_offset(), which checks that the list and the words after it
// lie inside the 1024 bytes, so a damaged path length or root count can
// never make a reader leave the image.
#include "server/database/mdb/format.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"

namespace mdb {

namespace {

constexpr std::uint32_t kJournalFieldsOffset = 16;
constexpr std::uint32_t kInternalListOffset = 24;
constexpr std::uint32_t kPathOffset = 20;
constexpr std::uint32_t kPathAlignment = 8;

// Bytes the list needs besides its roots: N, the reserved word, F and D.
constexpr std::uint64_t kListOverhead = 16;

bool list_fits(std::uint64_t list_offset, std::uint64_t root_count) {
  return list_offset + kListOverhead + 4 * root_count <= kHeaderSize;
}

std::uint32_t word(const HeaderImage& image, std::uint32_t offset) {
  return support::load_be32(image.data() + offset);
}

// Offset A of the index root list, after checking that the list and the
// words after it fit.
std::uint32_t index_list_offset(const HeaderImage& image) {
  std::uint64_t list_offset = kInternalListOffset;
  if (header_journal_type(image) == journal_external) {
    list_offset = std::uint64_t{kPathOffset} + word(image, kJournalFieldsOffset);
  }
  if (!list_fits(list_offset, 0) ||
      !list_fits(list_offset, word(image, static_cast<std::uint32_t>(list_offset)))) {
    throw error_fubar("MDB file does not look like a Vexmon Meta Database");
  }
  return static_cast<std::uint32_t>(list_offset);
}

}  // namespace

bool valid_block_size(std::uint32_t block_size) {
  return std::has_single_bit(block_size) && block_size >= kMinBlockSize &&
         block_size <= kMaxBlockSize;
}

HeaderImage encode_header_image(const HeaderFields& fields) {
  if (fields.index_roots.size() < kMinIndexRoots || fields.index_roots.size() > kMaxIndexRoots) {
    throw error_internal("Invalid number of index roots");
  }
  HeaderImage image{};
  std::uint8_t* p = image.data();
  support::store_be32(p, kMdbMagic);
  support::store_be32(p + 4, kMdbVersion);
  support::store_be32(p + 8, fields.block_size);
  support::store_be32(p + 12, fields.journal_type);
  std::uint64_t list_offset = kInternalListOffset;
  if (fields.journal_type == journal_external) {
    const std::uint64_t path_length = fields.journal_path.size();
    const std::uint64_t padded =
        (path_length + kPathAlignment - 1) / kPathAlignment * kPathAlignment;
    list_offset = kPathOffset + padded;
    if (!list_fits(list_offset, fields.index_roots.size())) {
      throw error_internal("Too long journal path");
    }
    support::store_be32(p + kJournalFieldsOffset, static_cast<std::uint32_t>(padded));
    std::memcpy(p + kPathOffset, fields.journal_path.data(), path_length);
  } else {
    support::store_be32(p + kJournalFieldsOffset, fields.journal_start);
    support::store_be32(p + kJournalFieldsOffset + 4, fields.journal_blocks);
  }
  std::uint8_t* list = p + list_offset;
  support::store_be32(list, static_cast<std::uint32_t>(fields.index_roots.size()));
  list += 4;
  for (std::uint32_t root : fields.index_roots) {
    support::store_be32(list, root);
    list += 4;
  }
  support::store_be32(list + 4, fields.first_map_block);
  support::store_be32(list + 8, fields.first_data_block);
  return image;
}

std::uint32_t header_magic(const HeaderImage& image) { return word(image, 0); }
std::uint32_t header_version(const HeaderImage& image) { return word(image, 4); }
std::uint32_t header_block_size(const HeaderImage& image) { return word(image, 8); }
std::uint32_t header_journal_type(const HeaderImage& image) { return word(image, 12); }

std::uint32_t internal_journal_start(const HeaderImage& image) {
  return word(image, kJournalFieldsOffset);
}

std::uint32_t internal_journal_blocks(const HeaderImage& image) {
  return word(image, kJournalFieldsOffset + 4);
}

HeaderFields decode_header_image(const HeaderImage& image) {
  HeaderFields fields;
  fields.block_size = header_block_size(image);
  switch (header_journal_type(image)) {
    case journal_internal:
      fields.journal_type = journal_internal;
      fields.journal_start = internal_journal_start(image);
      fields.journal_blocks = internal_journal_blocks(image);
      break;
    case journal_external:
      fields.journal_type = journal_external;
      break;
    default:
      throw error_unsupported("Unknown journal type");
  }
  const std::uint32_t list = index_list_offset(image);
  if (fields.journal_type == journal_external) {
    const char* begin = reinterpret_cast<const char*>(image.data()) + kPathOffset;
    const char* end = reinterpret_cast<const char*>(image.data()) + list;
    fields.journal_path.assign(begin, std::find(begin, end, '\0'));
  }
  const std::uint32_t roots = word(image, list);
  for (std::uint32_t i = 0; i < roots; ++i) {
    fields.index_roots.push_back(word(image, list + 4 + 4 * i));
  }
  const std::uint32_t after_roots = list + 4 + 4 * roots;
  fields.first_map_block = word(image, after_roots + 4);
  fields.first_data_block = word(image, after_roots + 8);
  return fields;
}

NewDatabaseLayout new_database_layout(journal_type_t journal_type, std::uint64_t journal_bytes,
                                      std::string journal_path) {
  const bool internal = journal_type == journal_internal;
  const auto journal_blocks =
      static_cast<std::uint32_t>((journal_bytes + kNewBlockSize - 1) / kNewBlockSize);
  const std::uint32_t f = internal ? journal_blocks + 1 : 1;
  const std::uint32_t d = f + kNewMapBlocks;
  NewDatabaseLayout layout;
  layout.header = {.block_size = kNewBlockSize,
                   .journal_type = journal_type,
                   .journal_path = std::move(journal_path),
                   .journal_start = internal ? 1u : 0u,
                   .journal_blocks = journal_blocks,
                   .index_roots = {d, d + 1},
                   .first_map_block = f,
                   .first_data_block = d};
  layout.mdb_bytes = std::uint64_t{d + kNewBlocksAfterMap} * kNewBlockSize;
  layout.journal_bytes = std::uint64_t{journal_blocks} * kNewBlockSize;
  return layout;
}

std::optional<NodeId> record_node_id(std::span<const std::uint8_t> record) {
  if (record.size() < kPropertyHeaderSize + 8) return std::nullopt;
  const std::uint8_t* value = record.data() + kPropertyHeaderSize;
  return NodeId{support::load_be32(value), support::load_be32(value + 4)};
}

}  // namespace mdb
