// Parsing the command line of vexmon-dbadmin: a command, the set's
// directory, and the one option each command takes.
#include "server/database/admin/options.h"

namespace admin {

const char* const kUsage =
    "Usage: vexmon-dbadmin relocate DIR [--journal FILE]\n"
    "       vexmon-dbadmin set-password DIR [--pwfile FILE]\n"
    "       vexmon-dbadmin --help | --version\n"
    "\n"
    "relocate      makes the MDB header of the set in DIR name DIR/main.odbj\n"
    "              (or FILE) as its journal, after checking that the journal\n"
    "              belongs to the set\n"
    "set-password  sets the password of the administrator account; asks twice\n"
    "              on the terminal unless --pwfile names a file whose first\n"
    "              line is the password\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed with the set unchanged,\n"
    "2 usage error or a set that cannot be opened.\n";

namespace {

ParsedOptions wrong(std::string error) { return {std::nullopt, std::move(error)}; }

}  // namespace

ParsedOptions parse_options(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") return {Options{}, {}};
    if (arg == "--version") return {Options{Command::version, {}, {}, {}}, {}};
  }
  if (args.empty()) return wrong("no command given");
  Options options;
  std::string option_name;
  if (args[0] == "relocate") {
    options.command = Command::relocate;
    option_name = "--journal";
  } else if (args[0] == "set-password") {
    options.command = Command::set_password;
    option_name = "--pwfile";
  } else {
    return wrong("unknown command " + args[0]);
  }
  std::string* option_value =
      options.command == Command::relocate ? &options.journal : &options.pwfile;
  bool option_seen = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == option_name) {
      if (option_seen) return wrong(option_name + " given twice");
      if (i + 1 == args.size() || args[i + 1].empty()) return wrong(option_name + " needs a file");
      option_seen = true;
      *option_value = args[++i];
    } else if (args[i].starts_with("-")) {
      return wrong("unknown option " + args[i]);
    } else if (options.directory.empty() && !args[i].empty()) {
      options.directory = args[i];
    } else {
      return wrong("unexpected argument " + args[i]);
    }
  }
  if (options.directory.empty()) return wrong("no directory given");
  return {options, {}};
}

}  // namespace admin
