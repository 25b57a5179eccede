// The command line of vexmon-dbcheck.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace checker {

struct Options {
  std::string mdb;
  std::string journal;  // empty: the path in the MDB header
  std::string tsdb;
  std::string directory;  // set when the set was given as a directory
  bool quiet = false;
  bool json = false;
  bool dump = false;
  bool help = false;
  bool version = false;
};

// The options, or the reason the command line is wrong.
struct ParsedOptions {
  std::optional<Options> options;
  std::string error;
};

ParsedOptions parse_options(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace checker
