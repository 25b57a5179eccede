// The command line of vexmon-dbadmin.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace admin {

enum class Command { help, version, relocate, set_password };

struct Options {
  Command command = Command::help;
  std::string directory;  // the set's directory
  std::string journal;    // relocate --journal; empty: DIR/main.odbj
  std::string pwfile;     // set-password --pwfile; empty: ask on the terminal
};

// The options, or the reason the command line is wrong.
struct ParsedOptions {
  std::optional<Options> options;
  std::string error;
};

ParsedOptions parse_options(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace admin
