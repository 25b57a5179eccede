// Mode selection. -i runs the dialogue (a -d path given as well is dropped
// with a message); a -d path alone selects the default mode, which shows the
// summaries of fixed settings and asks once; with neither the usage is
// printed. The end of the input during any question ends the run here with
// exit code 1, before anything has been created.
#include "server/database/creation_tool/run_modes.h"

#include "server/database/creation_tool/command_line.h"
#include "server/database/creation_tool/console_input.h"
#include "server/database/creation_tool/dialogue.h"
#include "server/database/creation_tool/placement.h"
#include "server/database/support/text_format.h"

namespace creation_tool {
namespace {

constexpr std::uint32_t kDefaultJournalBytes = 8 * kBytesPerMegabyte;
constexpr std::uint32_t kDefaultChains = 3;
constexpr std::uint32_t kDefaultBlockSize = 8192;
constexpr std::uint32_t kDefaultInitialChecks = 10;

// Returns the exit code when the run ends here, nullopt when the settings
// are confirmed.
std::optional<int> select_mode(const command_line& parsed, creation_settings& settings,
                               std::istream& in, std::ostream& out, std::ostream& err) {
  if (parsed.flags.interactive) {
    if (parsed.destination) {
      err << "You gave a destination path, but also asked to be " << '\n'
          << "asked about everything...  I will ask you about "
          << "everything then." << std::endl;
    }
    run_dialogue(settings, in, out);
    return std::nullopt;
  }
  if (!parsed.destination) {
    print_usage(err);
    return 0;
  }
  if (!fill_default_settings(*parsed.destination, settings, out, err)) {
    return 1;
  }
  print_mdb_summary(settings, out);
  print_tsdb_summary(settings, out);
  if (!confirm_settings(settings, in, out)) {
    err << "ok - exising." << '\n' << std::endl;
    return 0;
  }
  return std::nullopt;
}

}  // namespace

bool fill_default_settings(const std::string& directory, creation_settings& settings,
                           std::ostream& out, std::ostream& err) {
  settings.mdb_path = directory;
  settings.mdb_placement = classify_placement(directory, out);
  if (settings.mdb_placement == placement_blockdev) {
    err << "Cannot place both MDB and TSDB in a block special" << std::endl;
    return false;
  }
  if (settings.mdb_placement == placement_bad) {
    err << "Cannot place anything in: " << support::quoted(directory) << std::endl;
    return false;
  }
  settings.mdb_path = path_in_directory(directory, kMdbFileName);
  settings.journal_type = kJournalExternal;
  settings.journal_placement = settings.mdb_placement;
  settings.journal_path = path_in_directory(directory, kJournalFileName);
  settings.journal_size = kDefaultJournalBytes;
  settings.tsdb_chains = kDefaultChains;
  settings.tsdb_block_size = kDefaultBlockSize;
  settings.tsdb_initial_checks = kDefaultInitialChecks;
  settings.tsdb_placement = settings.mdb_placement;
  settings.tsdb_path = path_in_directory(directory, kTsdbFileName);
  return true;
}

front_end_outcome run_front_end(std::span<const std::string> args, std::istream& in,
                                std::ostream& out, std::ostream& err) {
  front_end_outcome outcome;
  out << "Vexmon Database Creation Tool" << '\n' << kRuleLine << std::endl;

  command_line parsed;
  outcome.exit_code = parse_command_line(args, parsed, out, err);
  if (outcome.exit_code) return outcome;
  outcome.flags = parsed.flags;
  outcome.settings.force = parsed.force;
  try {
    outcome.exit_code = select_mode(parsed, outcome.settings, in, out, err);
  } catch (const input_ended&) {
    out << std::endl;  // the unanswered prompt gets its line end
    err << kInputEndedMessage << std::endl;
    outcome.exit_code = 1;
  }
  return outcome;
}

}  // namespace creation_tool
