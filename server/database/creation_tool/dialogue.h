// The interactive configuration dialogue, the two summaries and the
// confirmation question.
//
// Questions and summaries go to `out`, answers come from `in`. Every reader
// throws input_ended (console_input.h) when the input ends; nothing else
// ends a question loop except a valid answer.
#pragma once

#include <istream>
#include <ostream>

#include "server/database/creation_tool/settings.h"

namespace creation_tool {

// The line of 45 hyphens under the banner and the summary titles.
inline constexpr const char* kRuleLine = "---------------------------------------------";

// Journal bounds the dialogue enforces; the TSDB bounds are the format's.
inline constexpr std::uint32_t kMinJournalMegabytes = 4;
inline constexpr std::uint32_t kMaxJournalMegabytes = 128;
inline constexpr std::uint32_t kBytesPerMegabyte = 1048576;

// Fills mdb_path, mdb_placement, journal_type, journal_path,
// journal_placement and journal_size.
void ask_mdb_settings(creation_settings& settings, std::istream& in, std::ostream& out);

// Fills tsdb_chains, tsdb_block_size, tsdb_initial_checks, tsdb_path and
// tsdb_placement.
void ask_tsdb_settings(creation_settings& settings, std::istream& in, std::ostream& out);

void print_mdb_summary(const creation_settings& settings, std::ostream& out);
void print_tsdb_summary(const creation_settings& settings, std::ostream& out);

// Asks whether the summaries are right. With settings.force the answer "y"
// is printed and nothing is read. Yes is exactly "y" or "yes".
bool confirm_settings(const creation_settings& settings, std::istream& in, std::ostream& out);

// Repeats {MDB questions, MDB summary, confirmation} until confirmed, then
// {TSDB questions, TSDB summary, confirmation} until confirmed.
void run_dialogue(creation_settings& settings, std::istream& in, std::ostream& out);

}  // namespace creation_tool
