// Power cuts at every sync call, with the files as the system calls left them.
//
// A random workload (session_workload_test_util.h) runs on an MDB with 1024-byte blocks and a
// small journal, so that checkpoints and flips come often, through a file layer that keeps the
// durable image of each file: exactly the bytes that a successful fsync (the whole file) or msync
// (its range) found there. A failed sync drops the dirty pages it covered, as Linux may: they keep
// their old durable bytes until written again. Before every sync call the files are captured
// twice: the durable images alone, and with a random half of the pages not yet durable on top.
// The creation of the set, the replay at open and process crashes (every 150 steps the session
// ends without its syncs and the set is opened again) are inside the recorded run; in every other
// seed one msync or fsync call fails, after which the engine must stop.
//
// Each capture is then opened as a server opens a set: it must show the state after some step, no
// older than the last step whose synchronous end returned (every step once close_set succeeded)
// and no newer than the last one begun. The reopened set must then take further writes (enough to
// grow the file) and show them after one more reopen.
//
// VEXMON_LONG_TESTS=1 runs more steps and more seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/engine_root.h"
#include "server/database/mdb/model_test_util.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/open_set.h"
#include "server/database/mdb/session_workload_test_util.h"
#include "server/database/support/errors.h"
#include "server/database/support/metrics_table.h"
#include "server/database/support/recording_file_calls.h"
#include "server/database/support/test_util.h"

namespace mdb {
namespace {

using namespace mdb_testing;
using testing_util::read_file;
using testing_util::write_file;
using Files = std::map<std::string, Bytes>;

constexpr std::uint32_t kJournalBlocks = 256;  // halves of 128 KiB
constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kWholeFile = std::numeric_limits<std::uint64_t>::max();

// The file layer of the run: keeps each file's durable image and calls
// `before_sync` before every sync call that is not skipped.
class DurableFiles : public testing_util::RecordingFileCalls {
 public:
  explicit DurableFiles(std::function<void()> before_sync) : before_sync_(before_sync) {}

  // A crashed process makes no more syncs.
  bool crashed = false;
  // Fails the n-th call (0: none) named `failing_call` with EIO.
  std::string failing_call;
  std::uint64_t failing_sync = 0;

  // The durable images; with `random`, each page not yet durable survives
  // by chance.
  Files images(std::mt19937* random) const {
    Files files = durable_;
    for (auto& [path, image] : files) {
      if (random == nullptr) continue;
      const Bytes current = read_file(path);
      for (std::uint64_t lo = 0; lo < current.size(); lo += kPage) {
        const std::uint64_t hi = std::min<std::uint64_t>(lo + kPage, current.size());
        if ((*random)() % 2 == 0) continue;
        if (image.size() < hi) image.resize(hi);
        std::copy(current.begin() + lo, current.begin() + hi, image.begin() + lo);
      }
    }
    return files;
  }

  int open(const char* path, int flags, mode_t mode) override {
    const int fd = RecordingFileCalls::open(path, flags, mode);
    // A file first opened here was made durable by whoever made it.
    if (fd >= 0 && !durable_.count(path)) durable_[path] = read_file(path);
    return fd;
  }
  int fsync(int fd) override {
    return sync("fsync", path_of(fd), 0, kWholeFile, [&] { return RecordingFileCalls::fsync(fd); });
  }
  int msync(void* address, std::size_t length, int flags) override {
    const auto [path, offset] = mapped_at(address);
    return sync("msync", path, offset, length,
                [&] { return RecordingFileCalls::msync(address, length, flags); });
  }

 private:
  template <typename Call>
  int sync(const std::string& name, const std::string& path, std::uint64_t offset,
           std::uint64_t length, Call call) {
    if (crashed) return 0;
    before_sync_();
    int result = -1;
    if (name == failing_call && ++syncs_ == failing_sync) {
      errno = EIO;
    } else {
      result = call();
    }
    const auto found = durable_.find(path);
    if (found == durable_.end()) return result;
    const Bytes current = read_file(path);
    Bytes& durable = found->second;
    if (length == kWholeFile && result == 0) durable.resize(current.size());
    const std::uint64_t end = std::min<std::uint64_t>(
        current.size(), offset + std::min<std::uint64_t>(length, current.size()));
    for (std::uint64_t page = offset / kPage; page * kPage < end; ++page) {
      const std::uint64_t lo = page * kPage;
      const Bytes now(current.begin() + lo,
                      current.begin() + std::min<std::uint64_t>(lo + kPage, current.size()));
      Bytes& dropped = dropped_[path][page];
      if (result != 0) {
        if (!std::equal(now.begin(), now.end(), durable.begin() + std::min(lo, durable.size()),
                        durable.end())) {
          dropped = now;
        }
        continue;
      }
      if (dropped == now) continue;  // dropped by a failed sync, not written since
      dropped.clear();
      if (durable.size() < lo + now.size()) durable.resize(lo + now.size());
      std::copy(now.begin(), now.end(), durable.begin() + lo);
    }
    return result;
  }

  std::function<void()> before_sync_;
  std::uint64_t syncs_ = 0;
  Files durable_;
  std::map<std::string, std::map<std::uint64_t, Bytes>> dropped_;  // by path and page
};

// The files of one capture and the model states it may show.
struct Capture {
  Files files;
  std::size_t lowest, highest;
  bool durable_only;
};

class PowerLossRun {
 public:
  PowerLossRun(bool internal, std::uint32_t seed)
      : internal_(internal), random_(seed), workload_(seed) {
    // Even seeds fail one sync: an msync of the journal or an fsync.
    if (seed % 2 == 0) files_.failing_call = seed % 4 == 0 ? "fsync" : "msync";
    files_.failing_sync = (seed % 4 == 0 ? 4 : 2) + random_() % (seed % 4 == 0 ? 8 : 200);
  }

  void run(std::size_t steps) {
    support::ScopedFileCalls scope(files_);
    creating_ = true;
    create_session_set(mdb_path_, journal_path_, internal_, kJournalBlocks);
    creating_ = false;
    const std::uint64_t flips = meter::journal_flips.value;
    try {
      open_set(mdb_path_, {journal()});
      for (std::size_t i = 1; i <= steps; ++i) {
        workload_.step();
        if (i % 150 != 0) continue;
        files_.crashed = true;
        close_set();
        files_.crashed = false;
        open_set(mdb_path_, {journal()});
      }
      // The journal is small enough that turns end often under the workload.
      EXPECT_GE(meter::journal_flips.value - flips, steps / 100);
      close_set();
      closed_ = true;
    } catch (const mdb::error_generic& e) {
      EXPECT_TRUE(files_.failing_sync != 0) << e.text();
      try {
        close_set();
        ADD_FAILURE() << "close_set succeeded after: " << e.text();
      } catch (const mdb::error_generic&) {
      }
    }
    reset_engine();
    capture();
  }

  // Reopens every capture; returns how many were checked.
  std::size_t check_captures() {
    Model base;
    std::size_t base_index = 0;
    for (std::size_t c = 0; c < captures_.size(); ++c) {
      const Capture& capture = captures_[c];
      SCOPED_TRACE("capture " + std::to_string(c) +
                   (capture.durable_only ? " (synced bytes)" : " (some unsynced pages)"));
      base = workload_.model(capture.lowest, std::move(base), base_index);
      base_index = capture.lowest;
      try {
        check_capture(capture, base);
      } catch (const error::Exception& e) {
        ADD_FAILURE() << "reopening failed: " << e.text();
      }
      if (testing::Test::HasFailure()) break;
    }
    return captures_.size();
  }

 private:
  std::string journal() const { return internal_ ? std::string{} : journal_path_; }

  void capture() {
    if (creating_) return;  // a set cut short in its creation is no set
    const std::size_t lowest = closed_ ? workload_.steps().size() : workload_.synchronous_done();
    const std::size_t highest = workload_.steps().size();
    captures_.push_back({files_.images(nullptr), lowest, highest, true});
    captures_.push_back({files_.images(&random_), lowest, highest, false});
  }

  // Opens the capture, finds the model state it shows, writes more objects
  // and checks them after one more reopen. The reopen and those writes run
  // through a file layer of their own and are cut at their syncs too (for
  // captures with unsynced pages): a cut must show what the reopen showed,
  // with some of the writes.
  void check_capture(const Capture& capture, const Model& base) {
    write_capture(capture.files);
    std::vector<Files> cuts;
    DurableFiles* reopen_files = nullptr;
    DurableFiles files([&] {
      if (!capture.durable_only) cuts.push_back(reopen_files->images(&random_));
    });
    reopen_files = &files;
    std::vector<Model> states;  // the reopened state, then after each write
    {
      support::ScopedFileCalls scope(files);
      open_set(crash_mdb_, {crash_journal()});
      const std::optional<std::size_t> step =
          matching_step(workload_, read_back(), capture.lowest, capture.highest);
      ASSERT_TRUE(step) << "the reopened database matches no committed state between "
                        << capture.lowest << " and " << capture.highest;
      states.push_back(workload_.model(*step, base, capture.lowest));
      for (std::uint32_t i = 0; i < 6; ++i) {
        const NodeId id{9, i};
        states.push_back(states.back());
        apply_step(states.back(), {{id, assemble(id, kTopParent, 600)}});
        write_object(kNewObject);
      }
      close_set();
    }
    open_set(crash_mdb_, {crash_journal()});
    EXPECT_TRUE(read_back() == states.back()) << "writes after the reopen were lost";
    close_set();
    for (const Files& cut : cuts) {
      write_capture(cut);
      open_set(crash_mdb_, {crash_journal()});
      const Model seen = read_back();
      EXPECT_TRUE(std::find(states.begin(), states.end(), seen) != states.end())
          << "a cut while reopening lost or added objects: " << seen.size();
      close_set();
    }
  }

  std::string crash_journal() const { return internal_ ? std::string{} : crash_journal_; }
  // Writes the files of a capture (of the run's files or of a reopen) to the crash paths.
  void write_capture(const Files& files) {
    for (const auto& [path, bytes] : files) {
      write_file(path == mdb_path_ || path == crash_mdb_ ? crash_mdb_ : crash_journal_, bytes);
    }
  }

  const bool internal_;
  std::mt19937 random_;
  testing_util::TempDir dir_;
  const std::string mdb_path_ = dir_.file("main.odb");
  const std::string journal_path_ = dir_.file("main.odbj");
  const std::string crash_mdb_ = dir_.file("crash.odb");
  const std::string crash_journal_ = dir_.file("crash.odbj");

  SessionWorkload workload_;
  DurableFiles files_{[this] { capture(); }};
  bool creating_ = false;
  bool closed_ = false;  // close_set succeeded: every step is durable
  std::vector<Capture> captures_;
};

class PowerLossTest : public testing::TestWithParam<bool>, private InMemoryFiles {
 protected:
  void SetUp() override { diagnostic_mask().set(0); }
  void TearDown() override { diagnostic_mask().set(support::kDefaultDiagnosticMask); }
};

TEST_P(PowerLossTest, EveryCommittedTransactionSurvivesACutAtEverySync) {
  const bool long_run = mdb_testing::ModelRun(1, 1).long_run;
  const std::uint32_t seeds = long_run ? 20 : 4;
  const std::size_t steps = long_run ? 3000 : 500;
  std::size_t checked = 0;
  for (std::uint32_t seed = 1; seed <= seeds && !HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    PowerLossRun run(GetParam(), seed);
    try {
      run.run(steps);
      checked += run.check_captures();
    } catch (const error::Exception& e) {
      FAIL() << e.text();
    }
  }
  EXPECT_GE(checked, 500u);
}

INSTANTIATE_TEST_SUITE_P(JournalPlacements, PowerLossTest, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Internal" : "External"; });

}  // namespace
}  // namespace mdb
