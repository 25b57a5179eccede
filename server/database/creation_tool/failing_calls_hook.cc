// Test-only: linked into a copy of the program (never into vexmon-dbcreate)
// to fail one chosen system call of a whole run. Before main() it installs
// a recording file layer that fails call number VEXMON_FAIL_CALL with errno
// VEXMON_FAIL_ERRNO (nothing fails when unset); when the process ends it
// writes the number of calls made, then the log of the calls, one a line,
// to the file VEXMON_CALL_COUNT, if given.
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "server/database/support/recording_file_calls.h"

namespace {

struct FailingCallsHook {
  FailingCallsHook() {
    if (const char* n = std::getenv("VEXMON_FAIL_CALL")) {
      const char* code = std::getenv("VEXMON_FAIL_ERRNO");
      calls.fail_call(std::strtoull(n, nullptr, 10), code ? std::atoi(code) : EIO);
    }
    support::install_file_calls(&calls);
  }
  ~FailingCallsHook() {
    support::install_file_calls(nullptr);
    if (const char* path = std::getenv("VEXMON_CALL_COUNT")) {
      std::ofstream out(path);
      out << calls.calls() << '\n';
      for (const std::string& line : calls.log()) out << line << '\n';
    }
  }
  testing_util::RecordingFileCalls calls;
} hook;

}  // namespace
