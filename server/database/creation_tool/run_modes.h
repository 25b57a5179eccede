// Everything the tool does before it creates anything: the banner, the
// command line, the choice between the default mode and the dialogue, the
// summaries and the confirmation.
#pragma once

#include <istream>
#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "server/database/creation_tool/settings.h"

namespace creation_tool {

struct front_end_outcome {
  // Set when the run ends before creation (help, usage, a refused argument
  // or path, a declined default run, the end of the input).
  std::optional<int> exit_code;
  // Confirmed settings and flags, for the creation when exit_code is empty.
  creation_settings settings;
  run_flags flags;
};

// Runs the front end on the arguments after the program name. Dialogue,
// summaries and placement messages go to `out`, usage and errors to `err`.
front_end_outcome run_front_end(std::span<const std::string> args, std::istream& in,
                                std::ostream& out, std::ostream& err);

// The settings of the default mode for destination `directory`: the three
// files in it, an external 8 MiB journal, 3 chains of 8192-byte blocks and 10
// initial checks. Returns false after a message on `err` when the directory
// is a block-special device or unusable.
bool fill_default_settings(const std::string& directory, creation_settings& settings,
                           std::ostream& out, std::ostream& err);

}  // namespace creation_tool
