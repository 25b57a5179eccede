// The settings record of the creation tool: filled once by the default mode
// or by the dialogue, then read by the creation sequence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace creation_tool {

// Result of the placement test of a path.
enum placement_kind_t : std::uint32_t {
  placement_blockdev = 0,  // a block-special device: the device is the store
  placement_dir = 1,       // a directory: the default file name is appended
  placement_bad = 2,       // not usable
};

inline constexpr std::uint32_t kJournalInternal = 0;
inline constexpr std::uint32_t kJournalExternal = 1;
inline constexpr std::uint32_t kJournalUnset = 2;

// Default file names, appended to a directory with kSeparator in between.
inline constexpr const char* kMdbFileName = "main.odb";
inline constexpr const char* kJournalFileName = "main.odbj";
inline constexpr const char* kTsdbFileName = "main.tsdb";
inline constexpr char kSeparator = '/';

struct creation_settings {
  std::string mdb_path;
  placement_kind_t mdb_placement = placement_blockdev;
  std::uint32_t journal_type = kJournalUnset;
  std::string journal_path;  // empty for an internal journal
  placement_kind_t journal_placement = placement_blockdev;
  // Bytes as entered (megabytes x 1,048,576); the creation sequence turns it
  // into a count of 8192-byte blocks.
  std::uint32_t journal_size = 0;
  std::uint32_t tsdb_chains = 0;
  std::uint32_t tsdb_block_size = 0;
  std::uint32_t tsdb_initial_checks = 0;
  std::string tsdb_path;
  placement_kind_t tsdb_placement = placement_blockdev;
  bool force = false;  // -f: the confirmation answers "y" by itself
};

// The flags of the command line that are not part of the settings record.
struct run_flags {
  bool interactive = false;       // -i
  bool omit_admin = false;        // -n
  bool completely_empty = false;  // -c
  bool overwrite = false;         // --overwrite: devices that hold data may be used
  bool keep_files = false;        // --no-clean: a failed run leaves what it made
  // --pwfile FILE / --pwprompt: where the administrator's password comes
  // from instead of the default.
  std::optional<std::string> password_file;
  bool password_prompt = false;
};

}  // namespace creation_tool
