// Parsing of the command line and the usage text.
#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "server/database/creation_tool/settings.h"

namespace creation_tool {

// What the options asked for.
struct command_line {
  run_flags flags;
  bool force = false;                      // -f
  std::optional<std::string> destination;  // -d {path}, the last one given
};

// The usage text, each line ended, followed by one empty line.
void print_usage(std::ostream& err);

// Parses the arguments after the program name, left to right; an option is
// recognised by its first two characters. Returns the exit code when parsing
// ends the run: 0 after -h (usage printed), 1 for an unknown argument or a
// -d path that fails the placement test (message on `err`). Returns nullopt
// when the run goes on with `parsed`.
std::optional<int> parse_command_line(std::span<const std::string> args, command_line& parsed,
                                      std::ostream& out, std::ostream& err);

}  // namespace creation_tool
