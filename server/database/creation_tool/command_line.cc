// The command line: six single-dash options, each recognised by its first
// two characters (so "-force" is -f and "-help" is -h), checked in a fixed
// order, and long options matched exactly: "--help" is -h, "--overwrite",
// "--no-clean", "--pwfile FILE" and "--pwprompt" set run flags
// ("--version" is handled before parsing). A chosen password with -n or -c,
// which write no administrator account, is a usage error.
// -h and any unknown argument end parsing at once; a -d path is put through
// the placement test the moment it is parsed, so an unusable path stops the
// run before any question is asked.
#include "server/database/creation_tool/command_line.h"

#include <sys/stat.h>

#include <cerrno>

#include "server/database/creation_tool/placement.h"
#include "server/database/creation_tool/run_failure.h"
#include "server/database/support/text_format.h"

namespace creation_tool {
namespace {

// Tests and announces a -d path. Returns false (after the message) when the
// path cannot be used.
bool take_destination(const std::string& path, command_line& parsed, std::ostream& out,
                      std::ostream& err) {
  if (classify_placement(path, out) == placement_bad) {
    struct stat status {};
    const bool unreadable = ::stat(path.c_str(), &status) != 0;
    const int code = errno;
    err << "Cannot stat path " << support::quoted(path) << '\n';
    if (unreadable) err << reason_line(code);
    err << std::flush;
    return false;
  }
  err << "placement path: " << support::quoted(path) << std::endl;
  parsed.destination = path;
  return true;
}

}  // namespace

void print_usage(std::ostream& err) {
  err << "Usage:\n"
      << " -h        : print this help screen\n"
      << " -i        : interactive configuration\n"
      << " -n        : omit 'admin' user creation\n"
      << " -d {path} : create default database at {path}\n"
      << " - - - - - - advanced options - - - - - - - - \n"
      << " -c        : create completely empty database\n"
      << " -f        : force, do not ask questions\n"
      << std::endl;
}

std::optional<int> parse_command_line(std::span<const std::string> args, command_line& parsed,
                                      std::ostream& out, std::ostream& err) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--overwrite") {
      parsed.flags.overwrite = true;
      continue;
    }
    if (arg == "--no-clean") {
      parsed.flags.keep_files = true;
      continue;
    }
    if (arg == "--pwprompt") {
      parsed.flags.password_prompt = true;
      continue;
    }
    if (arg == "--pwfile" && i + 1 < args.size()) {
      parsed.flags.password_file = args[++i];
      continue;
    }
    if (arg.starts_with("--") && arg != "--help") {
      err << "Unknown or misplaced argument: " << support::quoted(arg) << std::endl;
      return 1;
    }
    if (arg.starts_with("-d")) {
      std::string path;
      if (arg.size() > 2) {
        path = arg.substr(2);  // the attached form, "-d/some/dir"
      } else if (i + 1 < args.size()) {
        path = args[++i];
      } else {
        return std::nullopt;  // "-d" last: nothing to take, parsing ends
      }
      if (!take_destination(path, parsed, out, err)) return 1;
    } else if (arg.starts_with("-i")) {
      parsed.flags.interactive = true;
    } else if (arg.starts_with("-n")) {
      parsed.flags.omit_admin = true;
    } else if (arg.starts_with("-h") || arg == "--help") {
      print_usage(err);
      return 0;
    } else if (arg.starts_with("-c")) {
      parsed.flags.completely_empty = true;
    } else if (arg.starts_with("-f")) {
      parsed.force = true;
    } else {
      err << "Unknown or misplaced argument: " << support::quoted(arg) << std::endl;
      return 1;
    }
  }
  const run_flags& flags = parsed.flags;
  if ((flags.password_file || flags.password_prompt) &&
      (flags.omit_admin || flags.completely_empty)) {
    err << "A password for the 'admin' user cannot be given with -n or -c" << std::endl;
    return 1;
  }
  if (flags.password_file && flags.password_prompt) {
    err << "Give either --pwfile or --pwprompt, not both" << std::endl;
    return 1;
  }
  return std::nullopt;
}

}  // namespace creation_tool
