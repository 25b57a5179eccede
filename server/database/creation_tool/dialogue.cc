// The interactive dialogue: the MDB block (location, journal type, journal
// location and size) and the TSDB block (chains, block size, checks,
// location), each closed by its summary and the confirmation question.
//
// Invariants: a question loop returns only with an answer inside its bounds,
// and every pass through a loop consumes input (or throws input_ended), so
// the dialogue ends on any finite input. Nothing is written to disk here.
#include "server/database/creation_tool/dialogue.h"

#include <bit>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "server/database/creation_tool/console_input.h"
#include "server/database/creation_tool/placement.h"
#include "server/database/tsdb/creation.h"
#include "server/database/tsdb/format.h"

namespace creation_tool {
namespace {

// Prints `lines` between two empty lines.
void print_text_block(std::ostream& out, std::initializer_list<std::string_view> lines) {
  out << '\n';
  for (std::string_view line : lines) out << line << '\n';
  out << '\n';
}

// Asks for a path until its placement test accepts it. A directory gets
// `file_name` appended; a block-special device is kept as entered.
void ask_placement(std::istream& in, std::ostream& out, std::string_view question,
                   const char* file_name, std::string& path, placement_kind_t& placement) {
  path.clear();
  while (path.empty()) {
    prompt(out, question);
    path = read_word(in);
    placement = classify_placement(path, out);
    if (placement == placement_dir) {
      path = path_in_directory(path, file_name);
    } else if (placement == placement_bad) {
      out << "Please specify either a directory or a block-special" << std::endl;
      path.clear();
    }
  }
}

// Asks for a number until `accept` takes it; `accept` prints its own message
// when it refuses. A word that is not a number is dropped with its line.
std::uint32_t ask_number(std::istream& in, std::ostream& out, std::string_view question,
                         const std::function<bool(std::uint32_t)>& accept) {
  for (;;) {
    prompt(out, question);
    const std::optional<std::uint32_t> number = read_number(in);
    if (!number) {
      out << "Please enter a number" << std::endl;
    } else if (accept(*number)) {
      return *number;
    }
  }
}

// True when `low` <= n <= `high`; otherwise prints the range message.
bool within(std::uint32_t n, std::uint32_t low, std::uint32_t high, std::ostream& out) {
  if (n >= low && n <= high) return true;
  out << "Please enter a number between " << low << " and " << high << std::endl;
  return false;
}

void ask_journal_type(std::istream& in, std::ostream& out, creation_settings& settings) {
  for (;;) {
    prompt(out, "Journal type (default: internal): [i/e] ");
    const char answer = read_character(in);
    if (answer == 'i') {
      settings.journal_type = kJournalInternal;
      settings.journal_path.clear();
      return;
    }
    if (answer == 'e') {
      settings.journal_type = kJournalExternal;
      print_text_block(out, {"Please specify a full path to the device or",
                             "directory in which the journal should be placed."});
      ask_placement(in, out, "Path to journal: ", kJournalFileName, settings.journal_path,
                    settings.journal_placement);
      return;
    }
    out << "Please enter either 'i' for internal or 'e' for external" << std::endl;
  }
}

}  // namespace

void ask_mdb_settings(creation_settings& settings, std::istream& in, std::ostream& out) {
  print_text_block(out, {"The meta database can be placed either in a file",
                         "or on a block device. If placed in a file, it",
                         "will grow as needed. For performance reasons it",
                         "may be desirable to place it on a block device"});
  ask_placement(in, out, "Path to meta database: ", kMdbFileName, settings.mdb_path,
                settings.mdb_placement);

  print_text_block(
      out,
      {"The meta database journal can optionally be", "placed on a different device than the meta",
       "database itself. This can be used to achieve",
       "better scalability, by utilizing multiple disk",
       "systems. The default however is to place the", "journal inside the meta database. This is",
       "recommended, unless you have specific reasons", "not to do so."});
  ask_journal_type(in, out, settings);

  print_text_block(out, {"The journal size is a trade-off between disk",
                         "and CPU utilization. If you have a fast CPU and",
                         "a slow disk, a large journal is good. If your",
                         "CPU is slow and your disk fast, a smaller", "journal is better."});
  const std::uint32_t megabytes =
      ask_number(in, out, "Journal size [megabytes] (recommended: 8): ", [&out](std::uint32_t n) {
        return within(n, kMinJournalMegabytes, kMaxJournalMegabytes, out);
      });
  settings.journal_size = megabytes * kBytesPerMegabyte;
}

void ask_tsdb_settings(creation_settings& settings, std::istream& in, std::ostream& out) {
  const std::string chain_bounds = "It can be no lower than " + std::to_string(tsdb::kMinChains) +
                                   " and no higher than " + std::to_string(tsdb::kMaxChains) + ".";
  print_text_block(
      out, {"The number of chains is usually set to 2 or 3.", chain_bounds,
            "A high number may have a negative impact on",
            "performance, whereas a low number will lower",
            "the amount of fault-tolerance in case parts of",
            "your database file are corrupted (by bad blocks", "on the disk, for example)."});
  settings.tsdb_chains =
      ask_number(in, out, "Number of chains (recommended: 3): ", [&out](std::uint32_t n) {
        return within(n, tsdb::kMinChains, tsdb::kMaxChains, out);
      });

  const std::string block_bounds = "The block size can be varied from " +
                                   std::to_string(tsdb::kMinBlockSize) + " to " +
                                   std::to_string(tsdb::kMaxBlockSize) + ", but";
  print_text_block(out, {block_bounds, "must always be a power of two. The block size",
                         "determines the maximum database size possible,",
                         "and influences database performance. An 8192",
                         "byte block size limits the database to 32 TB.",
                         "A 4096 byte block size limits it to 16 TB."});
  settings.tsdb_block_size =
      ask_number(in, out, "Block size (recommended: 8192): ", [&out](std::uint32_t n) {
        if (!within(n, tsdb::kMinBlockSize, tsdb::kMaxBlockSize, out)) {
          return false;
        }
        if (std::has_single_bit(n)) return true;
        out << "Please enter a two-power" << std::endl;
        return false;
      });

  print_text_block(
      out, {"An estimate of the number of checks this database",
            "will hold, can help the creation of the database",
            "and improve performance. This number need not be",
            "precise - specifying a number higher than the", "actual amount is recommended."});
  // 0 is asked again without a message; more checks than the block size
  // can number are refused here, with the largest count it allows.
  const std::uint32_t most_checks = tsdb::max_initial_checks(settings.tsdb_block_size);
  settings.tsdb_initial_checks = ask_number(
      in, out, "Estimated number of checks (recommended: 1000): ",
      [&out, most_checks](std::uint32_t n) { return n != 0 && within(n, 1, most_checks, out); });

  print_text_block(
      out, {"The TSDB can be placed either on a block-special",
            "or in a file on a file-system. Please specify the",
            "path to the block-special device, or the wanted", "directory on a file-system."});
  ask_placement(in, out, "Path to TSDB: ", kTsdbFileName, settings.tsdb_path,
                settings.tsdb_placement);
}

void print_mdb_summary(const creation_settings& settings, std::ostream& out) {
  out << '\n'
      << "Will create a meta database as follows:\n"
      << kRuleLine << '\n'
      << "MDB path:     " << settings.mdb_path << '\n'
      << "Journal type: " << (settings.journal_type == kJournalInternal ? "Internal" : "External")
      << '\n';
  const bool external = settings.journal_type == kJournalExternal;
  if (external) out << "Journal path: " << settings.journal_path << '\n';
  // A journal on its own device takes the device's size, so no size is shown.
  if (!(external && settings.journal_placement == placement_blockdev)) {
    out << "Journal size: " << settings.journal_size / kBytesPerMegabyte << " MiB\n";
  }
}

void print_tsdb_summary(const creation_settings& settings, std::ostream& out) {
  out << '\n'
      << "Will create a time series database as follows:\n"
      << kRuleLine << '\n'
      << "Number of chains: " << settings.tsdb_chains << '\n'
      << "Block size:       " << settings.tsdb_block_size << '\n'
      << "Initial checks:   " << settings.tsdb_initial_checks << '\n'
      << "TSDB placed in:   " << settings.tsdb_path << '\n'
      << '\n';
}

bool confirm_settings(const creation_settings& settings, std::istream& in, std::ostream& out) {
  prompt(out, "Is the above information correct?  (y/n): ");
  if (settings.force) {
    out << "y" << std::endl;
    return true;
  }
  const std::string answer = read_word(in);
  return answer == "y" || answer == "yes";
}

void run_dialogue(creation_settings& settings, std::istream& in, std::ostream& out) {
  do {
    ask_mdb_settings(settings, in, out);
    print_mdb_summary(settings, out);
  } while (!confirm_settings(settings, in, out));
  do {
    ask_tsdb_settings(settings, in, out);
    print_tsdb_summary(settings, out);
  } while (!confirm_settings(settings, in, out));
}

}  // namespace creation_tool
