// vexmon-dbcreate: creates the meta database, its journal and the time
// series database of a new monitoring server, from the command line or an
// interactive dialogue.
#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "server/database/creation_tool/cleanup.h"
#include "server/database/creation_tool/creation_sequence.h"
#include "server/database/creation_tool/run_modes.h"
#include "server/database/creation_tool/top_level_handler.h"

namespace {

int create(const std::vector<std::string>& args) {
  creation_tool::front_end_outcome front;
  int code = 1;
  try {
    code = creation_tool::run_guarded(std::cerr, [&args, &front] {
      front = creation_tool::run_front_end(args, std::cin, std::cout, std::cerr);
      if (front.exit_code) return *front.exit_code;
      return creation_tool::create_databases(front.settings, front.flags);
    });
  } catch (const std::exception& e) {
    // Failures outside the engines' families (out of memory and the like)
    // end the run like an engine failure instead of aborting it.
    std::cerr << '\n' << "Unexpected failure: " << e.what() << std::endl;
  }
  // A run that did not succeed takes back what it created, so that the same
  // command can simply be run again.
  if (code != 0 && !front.flags.keep_files) creation_tool::clean_up_created(std::cerr);
  return code;
}

int run(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--version") {
      std::cout << "vexmon-dbcreate " << VEXMON_VERSION << std::endl;
      return 0;
    }
  }
  return create(args);
}

}  // namespace

int main(int argc, char** argv) {
  // A write past the file size limit (ulimit -f) then fails with EFBIG and
  // ends the run with its write error, instead of killing the process.
  std::signal(SIGXFSZ, SIG_IGN);
  const int code = run(std::vector<std::string>(argv + 1, argv + argc));
  // A run whose report could not be written (a full disk, a closed pipe)
  // has not succeeded, even when its files are complete.
  std::cout.flush();
  std::cerr.flush();
  return std::cout && std::cerr ? code : 1;
}
