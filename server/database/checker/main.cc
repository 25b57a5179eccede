// vexmon-dbcheck: checks a database set without changing it and reports
// what it is and every problem found. Exit status 0 sound, 1 problems,
// 2 usage error, a file that cannot be opened, or a report that could not
// be written (a check whose report is lost has told nobody anything).
#include <cerrno>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "server/database/checker/mdb_check.h"
#include "server/database/checker/mdb_layout.h"
#include "server/database/checker/options.h"
#include "server/database/checker/report.h"
#include "server/database/checker/tsdb_check.h"
#include "server/database/support/errors.h"

namespace {

// Flushes standard output; when it failed, says why on standard error.
bool written() {
  errno = 0;
  std::cout.flush();
  if (std::cout) return true;
  const int error = errno;
  std::cerr << "vexmon-dbcheck: cannot write the report"
            << (error != 0 ? ": " + error::system_error_text(static_cast<std::uint32_t>(error))
                           : std::string())
            << "\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const checker::ParsedOptions parsed = checker::parse_options(args);
  if (!parsed.options) {
    std::cerr << "vexmon-dbcheck: " << parsed.error << "\n" << checker::kUsage;
    return 2;
  }
  const checker::Options& options = *parsed.options;
  if (options.help || options.version) {
    if (options.help) std::cout << checker::kUsage;
    if (options.version) std::cout << "vexmon-dbcheck " << VEXMON_VERSION << "\n";
    return written() ? 0 : 2;
  }
  checker::Report report;
  try {
    checker::check_mdb({options.mdb, options.journal, options.directory}, options.dump, report);
    checker::check_tsdb(options.tsdb, report);
  } catch (const checker::Unopenable& failure) {
    std::cerr << "vexmon-dbcheck: " << failure.text << "\n";
    return 2;
  } catch (const std::exception& e) {
    // Out of memory and the like: the set could not be checked.
    std::cerr << "vexmon-dbcheck: " << e.what() << "\n";
    return 2;
  }
  if (!options.quiet) {
    std::cout << (options.json ? checker::json_report(report, options.dump)
                               : checker::text_report(report, options.dump));
    if (!written()) return 2;
  }
  return report.sound() ? 0 : 1;
}
