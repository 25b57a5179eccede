// The 1024-byte MDB header in block 0, as a byte image: building it for a
// new database and reading its fields back.
//
// Layout (every field an unsigned 32-bit big-endian number):
//   0 magic "VMDB", 4 version 1, 8 block size, 12 journal type,
//   internal journal: 16 first journal block, 20 journal length in blocks;
//   external journal: 16 L, 20 the journal path NUL-padded to L bytes.
// The index root list follows at A (24 internal, 20 + L external): N, then
// N root block numbers; after a reserved word come the first map block F
// and the first data block D. Readers refuse an image whose fields would
// run past the 1024 bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace mdb {

inline constexpr std::uint32_t kMdbMagic = 0x564D4442;  // "VMDB"
inline constexpr std::uint32_t kMdbVersion = 1;
inline constexpr std::uint32_t kHeaderSize = 1024;

// Where the journal lives, as the header stores it.
enum journal_type_t : std::uint32_t {
  journal_internal = 1,  // blocks inside the MDB file
  journal_external = 2,  // a file or device of its own
};

using HeaderImage = std::array<std::uint8_t, kHeaderSize>;

struct HeaderFields {
  std::uint32_t block_size = 0;
  journal_type_t journal_type = journal_external;
  std::string journal_path;            // external journal only
  std::uint32_t journal_start = 0;     // internal journal only
  std::uint32_t journal_blocks = 0;    // internal journal only
  std::vector<std::uint32_t> index_roots;
  std::uint32_t first_map_block = 0;   // F
  std::uint32_t first_data_block = 0;  // D
};

// The header image for `fields`; unassigned bytes are zero. Fails with
// "Too long journal path" when the padded path leaves no room for the
// fields after it. REQUIRES: 2 <= fields.index_roots.size() <= 6.
HeaderImage build_header_image(const HeaderFields& fields);

std::uint32_t header_magic(const HeaderImage& image);
std::uint32_t header_version(const HeaderImage& image);
std::uint32_t header_block_size(const HeaderImage& image);
std::uint32_t header_journal_type(const HeaderImage& image);

// REQUIRES: header_journal_type(image) == journal_internal.
std::uint32_t internal_journal_start(const HeaderImage& image);
std::uint32_t internal_journal_blocks(const HeaderImage& image);
// The path field up to its first NUL or its end.
// REQUIRES: header_journal_type(image) == journal_external.
std::string external_journal_path(const HeaderImage& image);

// The fields after the journal fields. REQUIRES: a known journal type.
std::uint32_t header_index_root_count(const HeaderImage& image);
// REQUIRES: i < header_index_root_count(image).
std::uint32_t header_index_root(const HeaderImage& image, std::uint32_t i);
std::uint32_t header_first_map_block(const HeaderImage& image);
std::uint32_t header_first_data_block(const HeaderImage& image);

}  // namespace mdb
