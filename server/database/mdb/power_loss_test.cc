// Power cuts at every sync point.
//
// A random workload (object creates, rewrites and deletes through the object and index layers;
// nested transactions; synchronous and asynchronous ends) runs on an MDB with 1024-byte blocks and
// a small journal, so that checkpoints and flips come often. At every sync the files are captured
// twice: as a power cut would leave them (only bytes that a sync covered) and with every write on
// the disk. Afterwards each capture is opened as a server opens a database and compared with the
// model: it must show exactly the state after some committed transaction, no older than the last
// transaction whose commit reached a journal sync and no newer than the last one begun. The
// reopened database must then take further writes (enough to grow the file) and show them after one
// more reopen.
//
// VEXMON_LONG_TESTS=1 runs more steps and more seeds.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/model_test_util.h"
#include "server/database/mdb/open_set.h"
#include "server/database/mdb/session_workload.h"
#include "server/database/mdb/sync_observer.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/errors.h"
#include "server/database/support/metrics_table.h"
#include "server/database/support/test_util.h"

namespace mdb {
namespace {

using namespace mdb_testing;
using testing_util::read_file;
using testing_util::read_range;
using testing_util::write_file;

constexpr std::uint32_t kBlock = 1024;
constexpr std::uint32_t kJournalBlocks = 256;  // halves of 128 KiB

// The files of one capture and the model states it may show.
struct Capture {
  Bytes mdb;
  Bytes journal;  // empty for an internal journal
  std::size_t lowest, highest;
  bool durable_only;
};

struct Placement { bool internal; std::uint32_t first_map_block, initial_blocks; };
constexpr Placement kExternal{false, 1, 40};
constexpr Placement kInternal{true, 1 + kJournalBlocks, 300};

class PowerLossRun : public SyncObserver {
 public:
  PowerLossRun(const Placement& placement, std::uint32_t seed)
      : placement_(placement), workload_(seed) {}

  void run(std::size_t steps) {
    create();
    durable_[mdb_path_] = read_file(mdb_path_);
    if (!placement_.internal) durable_[journal_path_] = read_file(journal_path_);
    open_set(mdb_path_, {journal_path_});
    set_sync_observer(this);
    const std::uint64_t flips = meter::journal_flips.value;
    for (std::size_t i = 0; i < steps; ++i) workload_.step();
    set_sync_observer(nullptr);
    // The journal is small enough that turns end often under the workload.
    EXPECT_GE(meter::journal_flips.value - flips, steps / 100);
    close_set();
  }

  // Reopens every capture; returns how many were checked.
  std::size_t check_captures() {
    Model base;
    std::size_t base_index = 0;
    for (std::size_t c = 0; c < captures_.size(); ++c) {
      const Capture& capture = captures_[c];
      SCOPED_TRACE("capture " + std::to_string(c) +
                   (capture.durable_only ? " (synced bytes)" : " (all writes)"));
      base = workload_.model(capture.lowest, std::move(base), base_index);
      base_index = capture.lowest;
      try {
        check_capture(capture, base);
      } catch (const error::Exception& e) { ADD_FAILURE() << "reopening failed: " << e.text(); }
      if (testing::Test::HasFailure()) break;
    }
    return captures_.size();
  }

 private:
  void synced(const std::string& path, std::uint64_t offset, std::uint64_t length) override {
    Bytes& image = durable_[path];
    if (length == 0) {
      image = read_file(path);
    } else {
      const Bytes bytes = read_range(path, offset, length);
      if (image.size() < offset + bytes.size()) image.resize(offset + bytes.size());
      std::copy(bytes.begin(), bytes.end(), image.begin() + offset);
    }
    // A journal sync makes every commit whose end entry is written durable.
    if (length != 0 || placement_.internal) {
      durable_steps_ = done() + (workload_.final_end() ? 1 : 0);
    }
    const std::size_t highest = workload_.steps().size();
    captures_.push_back({durable_[mdb_path_],
                         placement_.internal ? Bytes{} : durable_[journal_path_], durable_steps_,
                         highest, true});
    captures_.push_back({read_file(mdb_path_),
                         placement_.internal ? Bytes{} : read_file(journal_path_), done(), highest,
                         false});
  }

  std::size_t done() const { return workload_.done(); }

  void create() {
    const std::uint32_t f = placement_.first_map_block;
    testing_util::make_zero_file(mdb_path_, std::uint64_t{placement_.initial_blocks} * kBlock);
    open_store(mdb_path_);
    if (placement_.internal) {
      create_header(kBlock, journal_internal, "", 1, kJournalBlocks, {f + 1, f + 2}, f, f + 1);
      open_journal(mdb_path_, kBlock, kJournalBlocks * kBlock, false);
    } else {
      create_header(kBlock, journal_external, journal_path_, 0, 0, {f + 1, f + 2}, f, f + 1);
      testing_util::make_zero_file(journal_path_, kJournalBlocks * kBlock);
      open_journal(journal_path_, 0, 0, true);
    }
    init_journal_header();
    close_journal();
    close_store();
  }

  // Opens the capture, finds the model state it shows, writes more objects
  // and checks them after one more reopen.
  void check_capture(const Capture& capture, const Model& base) {
    write_file(crash_mdb_, capture.mdb);
    if (!placement_.internal) write_file(crash_journal_, capture.journal);
    open_set(crash_mdb_, {placement_.internal ? std::string{} : crash_journal_});
    Model model = base;
    std::size_t index = capture.lowest;
    const Model seen = read_back();
    while (seen != model && index < capture.highest) {
      apply_step(model, workload_.steps()[index++]);
    }
    EXPECT_TRUE(seen == model) << "the reopened database matches no committed state between "
                               << capture.lowest << " and " << capture.highest << "; it holds "
                               << seen.size() << " objects";
    Step more;
    for (std::uint32_t i = 0; i < 6; ++i) {
      const NodeId id{9, i};
      more.emplace_back(id, assemble(id, kTopParent, 600));
      write_object(kNewObject);
    }
    apply_step(model, more);
    close_set();
    open_set(crash_mdb_, {placement_.internal ? std::string{} : crash_journal_});
    EXPECT_TRUE(read_back() == model) << "writes after the reopen were lost";
    close_set();
  }

  const Placement placement_;
  testing_util::TempDir dir_;
  const std::string mdb_path_ = dir_.file("main.odb");
  const std::string journal_path_ = dir_.file("main.odbj");
  const std::string crash_mdb_ = dir_.file("crash.odb");
  const std::string crash_journal_ = dir_.file("crash.odbj");

  std::map<std::string, Bytes> durable_;  // each file as its syncs left it
  SessionWorkload workload_;
  std::size_t durable_steps_ = 0;
  std::vector<Capture> captures_;
};

class PowerLossTest : public testing::TestWithParam<Placement> {
 protected:
  // The files live in memory (tmpfs) where there is one: the test syncs
  // thousands of times, and a power cut is simulated, not needed.
  void SetUp() override {
    diagnostic_mask().set(0);
    if (std::filesystem::is_directory("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 1);
  }
  void TearDown() override {
    ::unsetenv("TMPDIR");
    diagnostic_mask().set(support::kDefaultDiagnosticMask);
  }
};

TEST_P(PowerLossTest, EveryCommittedTransactionSurvivesACutAtEverySync) {
  const bool long_run = mdb_testing::ModelRun(1, 1).long_run;
  const std::uint32_t seeds = long_run ? 20 : 2;
  const std::size_t steps = long_run ? 3000 : 700;
  std::size_t checked = 0;
  for (std::uint32_t seed = 1; seed <= seeds && !HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    PowerLossRun run(GetParam(), seed);
    try {
      run.run(steps);
      checked += run.check_captures();
    } catch (const error::Exception& e) { FAIL() << e.text(); }
  }
  EXPECT_GE(checked, 1000u);
}

INSTANTIATE_TEST_SUITE_P(JournalPlacements, PowerLossTest, testing::Values(kExternal, kInternal),
                         [](const auto& info) {
                           return info.param.internal ? "Internal" : "External";
                         });

}  // namespace
}  // namespace mdb
