// Every system call of a creation failed in turn, with EIO or ENOSPC, for the default set (external
// journal) and for an internal journal: each run ends normally, with exit status 1 and the tool's
// own error message, and takes back everything it created; a failure the run can absorb (a space
// reservation that falls back to writing zeros) ends with a set the checker calls sound. A run
// without failures syncs the set's directory after it has created each file in it. The
// program under test is a copy of the tool whose file layer fails the chosen call. By default
// about 25 calls of each run are tried; VEXMON_LONG_TESTS=1 tries every call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "server/database/support/test_util.h"

namespace {

using testing_util::run_process;
using testing_util::TempDir;

// Runs the faulty tool in `dir` with `arguments`, failing call `n` (0: none) with `code`.
testing_util::ProcessResult run_failing(const std::string& arguments, const TempDir& dir,
                                        std::uint64_t n, int code, const std::string& input) {
  const std::string env = "VEXMON_FAIL_CALL=" + std::to_string(n) +
                          " VEXMON_FAIL_ERRNO=" + std::to_string(code) +
                          " VEXMON_CALL_COUNT=" + dir.file("calls") + " ";
  return run_process("/bin/sh", {"-c", env + "exec " VEXMON_DBCREATE_FAULTS " " + arguments},
                     input);
}

TEST(CreationFaults, EveryFailedCallEndsCleanlyAndTakesBackTheSet) {
  const bool all = std::getenv("VEXMON_LONG_TESTS") != nullptr;
  for (const bool internal : {false, true}) {
    TempDir counted;
    const std::string set = counted.file("set");
    std::filesystem::create_directory(set);
    const std::string arguments = internal ? "-f -i" : "-f -d " + set;
    const std::string input = internal ? set + "\ni\n4\n3\n8192\n10\n" + set + "\n" : "";
    ASSERT_EQ(run_failing(arguments, counted, 0, 0, input).exit_code, 0);
    std::uint64_t calls = 0;
    std::ifstream log(counted.file("calls"));
    log >> calls;
    ASSERT_GT(calls, 50u);
    // Each file's name is durable only once its directory is synced after its creation (the
    // first open of the file).
    std::vector<std::string> created, unsynced;
    for (std::string line; std::getline(log, line);) {
      if (line == "sync_directory set") unsynced.clear();
      if (line.starts_with("open main.") &&
          std::find(created.begin(), created.end(), line) == created.end()) {
        created.push_back(line);
        unsynced.push_back(line);
      }
    }
    EXPECT_EQ(created.size(), internal ? 2u : 3u);
    EXPECT_TRUE(unsynced.empty()) << unsynced.front();
    std::filesystem::remove_all(set);

    const std::uint64_t step = all ? 1 : calls / 25;
    for (std::uint64_t n = 1; n <= calls; n += step) {
      std::filesystem::create_directory(set);
      const int code = n % 2 ? EIO : ENOSPC;
      const auto r = run_failing(arguments, counted, n, code, input);
      const std::string context = "call " + std::to_string(n) + " of " + std::to_string(calls) +
                                  (internal ? ", internal journal\n" : "\n") + r.err;
      EXPECT_EQ(r.err.find("Unexpected failure"), std::string::npos) << context;
      if (r.exit_code == 0) {
        EXPECT_EQ(run_process(VEXMON_DBCHECK, {"-q", set}).exit_code, 0) << context;
      } else {
        EXPECT_EQ(r.exit_code, 1) << context;
        EXPECT_TRUE(std::filesystem::is_empty(set)) << context;
      }
      std::filesystem::remove_all(set);
    }
  }
}

}  // namespace
