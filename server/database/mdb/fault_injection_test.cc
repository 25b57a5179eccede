// Failed, short and interrupted system calls under an MDB session, for both
// journal placements.
//
// A session (open_set, which creates the index roots, a random workload of
// object changes, close_set) runs on a new MDB through the recording file
// layer. Cut short and interrupted, every read and write must still work.
// Failing one call at a time (EIO or ENOSPC, by turns) must end the session
// with an exception of the MDB family; a caller that goes on must get no
// commit acknowledged and no successful close; and the files, reopened,
// must show the state after some step from the last acknowledged on.
//
// VEXMON_LONG_TESTS=1 runs longer sessions with more seeds.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/model_test_util.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/open_set.h"
#include "server/database/mdb/session_workload_test_util.h"
#include "server/database/support/errors.h"
#include "server/database/support/recording_file_calls.h"
#include "server/database/support/test_util.h"

namespace mdb {
namespace {

using namespace mdb_testing;
using testing_util::RecordingFileCalls;

constexpr std::uint32_t kJournalBlocks = 128;  // halves of 64 KiB: flips under the workload
constexpr std::size_t kSteps = 60;

class FaultInjectionTest : public testing::TestWithParam<bool>, private InMemoryFiles {
 protected:
  // Every session starts from the same new set.
  void SetUp() override {
    diagnostic_mask().set(0);
    create_session_set(mdb_path_, journal_path_, internal(), kJournalBlocks);
    fresh_mdb_ = testing_util::read_file(mdb_path_);
    if (!internal()) fresh_journal_ = testing_util::read_file(journal_path_);
  }
  void TearDown() override { diagnostic_mask().set(support::kDefaultDiagnosticMask); }

  bool internal() const { return GetParam(); }
  std::string journal() const { return internal() ? std::string{} : journal_path_; }

  // Runs a session on the new MDB through `calls`; the text of the error
  // that ended it, if any. After an error the caller goes on: one more
  // commit must fail, and once the set was open, so must close_set, with
  // the first error.
  std::optional<std::string> session(RecordingFileCalls& calls, SessionWorkload& workload,
                                     std::size_t steps = kSteps) {
    testing_util::write_file(mdb_path_, fresh_mdb_);
    if (!internal()) testing_util::write_file(journal_path_, fresh_journal_);
    support::ScopedFileCalls scope(calls);
    std::optional<std::string> error;
    bool opened = false;
    try {
      open_set(mdb_path_, {journal()});
      opened = true;
      for (std::size_t i = 0; i < steps; ++i) workload.step();
      close_set();
      return std::nullopt;
    } catch (const mdb::error_generic& e) {
      error = e.text();
    }
    try {
      begin_transaction();
      assemble({7, 7}, kTopParent, 10);
      write_object(kNewObject);
      end_transaction(true);
      ADD_FAILURE() << "a commit was acknowledged after: " << *error;
    } catch (const mdb::error_generic&) {
    }
    try {
      close_set();
      if (opened) ADD_FAILURE() << "close_set succeeded after: " << *error;
    } catch (const mdb::error_generic& e) {
      if (opened) {
        EXPECT_EQ(e.text(), *error);
      }
    }
    return error;
  }

  // Reopens the files: they must show the state after a step from the last
  // acknowledged one to the last one begun.
  void expect_committed_state(const SessionWorkload& workload) {
    try {
      open_set(mdb_path_, {journal()});
      const Model seen = read_back();
      EXPECT_TRUE(matching_step(workload, seen, workload.done(), workload.steps().size()))
          << "the reopened set shows no state from step " << workload.done() << " to "
          << workload.steps().size() << "; it holds " << seen.size() << " objects";
      close_set();
    } catch (const error::Exception& e) {
      ADD_FAILURE() << "reopening failed: " << e.text();
    }
  }

  testing_util::TempDir dir_;
  const std::string mdb_path_ = dir_.file("main.odb");
  const std::string journal_path_ = dir_.file("main.odbj");
  Bytes fresh_mdb_, fresh_journal_;
};

TEST_P(FaultInjectionTest, ShortAndInterruptedCallsChangeNothing) {
  RecordingFileCalls calls;
  calls.chop(1000);
  SessionWorkload workload(1);
  const std::optional<std::string> error = session(calls, workload);
  ASSERT_FALSE(error) << *error;
  expect_committed_state(workload);
}

TEST_P(FaultInjectionTest, EveryFailedCallStopsTheSessionCleanly) {
  const ModelRun plan(1, 1);
  const std::size_t steps = plan.long_run ? 4 * kSteps : kSteps;
  for (const std::uint32_t seed : plan.seeds) {
    SCOPED_TRACE(plan.replay(seed));
    RecordingFileCalls counting;
    SessionWorkload clean(seed);
    ASSERT_FALSE(session(counting, clean, steps));
    // The clock decides which commits sync, so later runs may make a few
    // calls more or fewer; a call number past the end fails nothing.
    const std::uint64_t total = counting.calls() + 20;
    std::size_t stopped = 0;
    for (std::uint64_t n = 1; n <= total && !HasFailure(); ++n) {
      SCOPED_TRACE("failed call " + std::to_string(n));
      RecordingFileCalls calls;
      calls.fail_call(n, n % 2 == 0 ? EIO : ENOSPC);
      SessionWorkload workload(seed);
      const std::optional<std::string> error = session(calls, workload, steps);
      SCOPED_TRACE((calls.failed() ? calls.log()[n - 1] : std::string("no call failed")) +
                   ", error " + error.value_or("none"));
      if (error) ++stopped;
      expect_committed_state(workload);
    }
    EXPECT_GT(stopped, total / 2);
  }
}

INSTANTIATE_TEST_SUITE_P(JournalPlacements, FaultInjectionTest, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Internal" : "External"; });

}  // namespace
}  // namespace mdb
