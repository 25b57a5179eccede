// The bytes of an MDB file: the header in block 0, the block sizes a file
// may have, the layout of a new database and the property records objects
// are made of. The journal's bytes are in journal_format.h.
//
// This file owns these layout decisions; the engine, the creation tool, the
// checker and the administration tool encode and decode through it.
// Invariants kept here:
//   - every integer is stored big-endian through support/big_endian.h;
//   - an image from encode_header_image decodes back to the same fields
//     (the path up to its first NUL);
//   - decode_header_image never reads outside the 1024 bytes: a path length
//     or root count that would take the root list, F or D past them is
//     refused as a damaged header;
//   - a new database's allocation map starts right after block 0 and the
//     internal journal, and its two index roots are the first two blocks
//     after the map.
//
// Header layout (every field an unsigned 32-bit big-endian number):
//   0 magic "VMDB", 4 version 1, 8 block size, 12 journal type,
//   internal journal: 16 first journal block, 20 journal length in blocks;
//   external journal: 16 L, 20 the journal path NUL-padded to L bytes.
// The index root list follows at A (24 internal, 20 + L external): N, then
// N root block numbers; after a reserved word come the first map block F
// and the first data block D.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "server/database/mdb/node_id.h"

namespace mdb {

// ---- Header (block 0) ----

inline constexpr std::uint32_t kMdbMagic = 0x564D4442;  // "VMDB"
inline constexpr std::uint32_t kMdbVersion = 1;
inline constexpr std::uint32_t kHeaderSize = 1024;
inline constexpr std::uint32_t kMinIndexRoots = 2;
inline constexpr std::uint32_t kMaxIndexRoots = 6;

// The smallest block holds the 1024-byte header in block 0. With it an
// index node holds 84 keys and a leaf 63 entries, the objects of a new
// database fit an object block, and no capacity the layers compute from B
// can wrap below zero.
inline constexpr std::uint32_t kMinBlockSize = kHeaderSize;
// The largest block keeps a whole-block journal entry (every index change
// logs its block), a private copy per index level and the one-block buffers
// of the serialization cache and the raw access layer small beside the
// smallest journal the creation tool makes (4 MiB); 64 KiB is eight times
// the block size it writes. Without a bound a damaged header would have the
// open allocate and log gigabytes per block.
inline constexpr std::uint32_t kMaxBlockSize = 65536;

// True for a power of two from kMinBlockSize to kMaxBlockSize.
bool valid_block_size(std::uint32_t block_size);

// Where the journal lives, as the header stores it.
enum journal_type_t : std::uint32_t {
  journal_internal = 1,  // blocks inside the MDB file
  journal_external = 2,  // a file or device of its own
};

using HeaderImage = std::array<std::uint8_t, kHeaderSize>;

struct HeaderFields {
  std::uint32_t block_size = 0;
  journal_type_t journal_type = journal_external;
  std::string journal_path;          // external journal only
  std::uint32_t journal_start = 0;   // internal journal only
  std::uint32_t journal_blocks = 0;  // internal journal only
  std::vector<std::uint32_t> index_roots;
  std::uint32_t first_map_block = 0;   // F
  std::uint32_t first_data_block = 0;  // D
};

// The header image for `fields`; unassigned bytes are zero. Fails with
// error_internal "Too long journal path" when the padded path leaves no room
// for the fields after it, and "Invalid number of index roots" when there
// are fewer than kMinIndexRoots or more than kMaxIndexRoots.
HeaderImage encode_header_image(const HeaderFields& fields);

// The fields at fixed offsets, readable before anything is checked.
std::uint32_t header_magic(const HeaderImage& image);
std::uint32_t header_version(const HeaderImage& image);
std::uint32_t header_block_size(const HeaderImage& image);
std::uint32_t header_journal_type(const HeaderImage& image);
// The journal fields of an internal journal (meaningless for another type).
std::uint32_t internal_journal_start(const HeaderImage& image);
std::uint32_t internal_journal_blocks(const HeaderImage& image);

// Every field; the path reads up to its first NUL or the end of its field,
// and stays empty for an internal journal, whose start and length are
// zero for an external one. Magic and version are not checked. Fails with
// error_unsupported "Unknown journal type" for a type other than 1 or 2, and
// with error_fubar "MDB file does not look like a Vexmon Meta Database" when
// the fields after the journal fields would run past the 1024 bytes.
HeaderFields decode_header_image(const HeaderImage& image);

// ---- Layout of a new database ----

// Every MDB the creation tool makes has blocks of this size, whatever block
// size its TSDB uses, an allocation map of kNewMapBlocks blocks and
// kNewBlocksAfterMap blocks after it, the two index roots first.
inline constexpr std::uint32_t kNewBlockSize = 8192;
inline constexpr std::uint32_t kNewMapBlocks = 256;
inline constexpr std::uint32_t kNewBlocksAfterMap = 128;

struct NewDatabaseLayout {
  HeaderFields header;
  std::uint64_t mdb_bytes = 0;      // the MDB file's initial size
  std::uint64_t journal_bytes = 0;  // the journal's size, whole blocks
};

// The layout of a new MDB whose journal takes `journal_bytes`, rounded up
// to whole blocks (J): an internal journal in blocks 1 .. J, then the map
// from F = J + 1 (F = 1 with an external journal), D = F + 256, the roots
// D and D + 1, and 385 blocks besides the internal journal. The header's
// journal_blocks holds J for either journal type.
NewDatabaseLayout new_database_layout(journal_type_t journal_type, std::uint64_t journal_bytes,
                                      std::string journal_path);

// ---- Property records ----
//
// An object is a 4-byte length word followed by property records. A record
// is a 12-byte header of three words (property id, record size, type word:
// the type code with bit 31 set when the property's flag is nonzero), then
// the value at record offset 12, then padding up to the record size, which
// is a multiple of 8.

inline constexpr std::uint32_t kPropertyHeaderSize = 12;
inline constexpr std::uint32_t kPropertyFlagBit = 0x80000000;

inline constexpr std::uint32_t kTypeCodeWord = 1;
inline constexpr std::uint32_t kTypeCodeString = 3;
inline constexpr std::uint32_t kTypeCodeNodeId = 4;
inline constexpr std::uint32_t kTypeCodeEnum = 5;
inline constexpr std::uint32_t kTypeCodeBool = 6;
inline constexpr std::uint32_t kTypeCodeWord9 = 9;

// Record sizes of the fixed-size values: a word, an enum or a bool take 16
// bytes, a node id 24.
inline constexpr std::uint32_t kWordRecordSize = 16;
inline constexpr std::uint32_t kNodeIdRecordSize = 24;

// The properties the indexes are built from: the object's own node id (the
// key of the NodeId index), its parent's (the ParentId index), the flag that
// lists an object under its parent in slot 2, and the keys of slots 3 to 5.
inline constexpr std::uint32_t kOwnIdProperty = 0;
inline constexpr std::uint32_t kParentIdProperty = 2;
inline constexpr std::uint32_t kListedProperty = 502;
inline constexpr std::array<std::uint32_t, 6> kIndexedProperties = {
    kOwnIdProperty, kParentIdProperty, kListedProperty, 59, 3800, 3901};

// n rounded up to a multiple of 8.
constexpr std::uint64_t round_up_to_8(std::uint64_t n) { return (n + 7) / 8 * 8; }

// The node id a record holds for the indexes: the words at record offsets
// 12 and 16, whatever the record's type code. Empty when the record is too
// short to hold them.
std::optional<NodeId> record_node_id(std::span<const std::uint8_t> record);

}  // namespace mdb
