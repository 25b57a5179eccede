// Parsing the command line of vexmon-dbcheck.
#include "server/database/checker/options.h"

namespace checker {

const char* const kUsage =
    "Usage: vexmon-dbcheck [-q] [--json] [--dump] DIR\n"
    "       vexmon-dbcheck [-q] [--json] [--dump] --mdb FILE [--journal FILE]"
    " --tsdb FILE\n"
    "       vexmon-dbcheck --version\n"
    "Checks a Vexmon database set without changing it. DIR holds main.odb,\n"
    "main.tsdb and (for an external journal) main.odbj.\n"
    "  -q       print nothing; the exit status tells\n"
    "  --json   print the report as one JSON document\n"
    "  --dump   list every object with its properties\n"
    "Exit status: 0 sound, 1 problems found, 2 usage error, unopenable set or\n"
    "a report that could not be written.\n";

ParsedOptions parse_options(const std::vector<std::string>& args) {
  Options options;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "-q") {
      options.quiet = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--dump") {
      options.dump = true;
    } else if (arg == "--mdb" || arg == "--journal" || arg == "--tsdb") {
      std::string& into = arg == "--mdb"       ? options.mdb
                          : arg == "--journal" ? options.journal
                                               : options.tsdb;
      if (!value(into)) return {std::nullopt, arg + " needs a path"};
    } else if (!arg.empty() && arg[0] == '-') {
      return {std::nullopt, "unknown option " + arg};
    } else {
      positional.push_back(arg);
    }
  }
  if (options.help || options.version) return {options, ""};
  if (positional.size() > 1) return {std::nullopt, "more than one directory"};
  if (positional.size() == 1) {
    if (!options.mdb.empty() || !options.tsdb.empty()) {
      return {std::nullopt, "give a directory or --mdb and --tsdb, not both"};
    }
    options.directory = positional[0];
    options.mdb = options.directory + "/main.odb";
    options.tsdb = options.directory + "/main.tsdb";
  }
  if (options.mdb.empty() || options.tsdb.empty()) {
    return {std::nullopt, "give a directory or both --mdb and --tsdb"};
  }
  return {options, ""};
}

}  // namespace checker
