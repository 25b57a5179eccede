// Power cuts at every sync of the TSDB, with the file as the system calls left it.
//
// Random series are allocated on a TSDB of 1024-byte blocks (the store and the replicas of every
// kind grow) through a file layer that keeps the durable image: the bytes a successful fsync found
// there. Before every fsync the file is captured: the durable image alone, and twice with a random
// half of the 512-byte sectors written since on top. The runs with two replicas of each kind fail
// one fsync, after which every allocation must fail and write nothing. In each capture the replica
// a reader selects of each kind must be whole and equal the current replica at the commit of an
// allocation between the last one acknowledged and the one under way, the check replica never
// ahead of the lblock replica. VEXMON_LONG_TESTS=1 runs more seeds.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "server/database/support/errors.h"
#include "server/database/support/recording_file_calls.h"
#include "server/database/tsdb/reader.h"
#include "server/database/tsdb/series_allocation.h"
#include "server/database/tsdb/tsdb_test_util.h"

namespace tsdb {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Entries = std::vector<EntryValue>;  // all of one replica
using State = std::array<Entries, kChainKindCount>;
constexpr std::size_t kSector = 512;
constexpr std::uint32_t kBlock = 1024;

// The file layer of the run, on its one file: keeps the durable image, the bytes a successful
// fsync found there, and the sectors written since; calls `before_sync` before every fsync.
class DurableFile : public testing_util::RecordingFileCalls {
 public:
  explicit DurableFile(std::function<void()> before_sync) : before_sync_(std::move(before_sync)) {}

  std::uint64_t failing_sync = 0;  // the fsync, counted from 1, that fails with EIO (0: none)
  bool sync_failed() const { return failing_sync != 0 && syncs_ >= failing_sync; }

  // Makes `image` the durable image with the sectors written since the last sync on top: none for
  // `odds` 0, all for 1, else each with a chance of 1 in `odds` drawn from `random`. (Into a
  // buffer of the caller's, which keeps its memory from one capture to the next.)
  void image(Bytes& image, std::mt19937* random, std::uint32_t odds) const {
    if (&image != &durable_) image = durable_;
    for (const auto& [sector, bytes] : pending_) {
      if (odds == 0 || (odds > 1 && (*random)() % odds != 0)) continue;
      image.resize(std::max(image.size(), (sector + 1) * kSector));
      std::copy(bytes.begin(), bytes.end(), image.begin() + sector * kSector);
    }
  }

  // The TSDB writes whole blocks, so every write covers whole sectors. (The blocks it adds by
  // reserving them are zeros, which the reader never needs.)
  ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset) override {
    const ssize_t written = RecordingFileCalls::pwrite(fd, buffer, count, offset);
    EXPECT_TRUE(offset % kSector == 0 && count % kSector == 0);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    for (ssize_t at = 0; at < written; at += kSector) {
      pending_[(offset + at) / kSector].assign(bytes + at, bytes + at + kSector);
    }
    return written;
  }

  int fsync(int fd) override {
    before_sync_();
    if (++syncs_ == failing_sync) {
      pending_.clear();  // lost for good: no later sync writes it
      errno = EIO;
      return -1;
    }
    const int result = RecordingFileCalls::fsync(fd);
    if (result == 0) image(durable_, nullptr, 1);
    pending_.clear();
    return result;
  }

 private:
  std::function<void()> before_sync_;
  std::uint64_t syncs_ = 0;
  Bytes durable_;                         // the file is created empty
  std::map<std::size_t, Bytes> pending_;  // by sector number
};

// The file the captures are read from. A capture differs from the one before in a few sectors,
// so only the 4 KiB pieces that differ are written.
class CaptureFile {
 public:
  explicit CaptureFile(const std::string& path)
      : fd_(support::open_file(path.c_str(), O_RDWR | O_CREAT, 0644)) {}

  void write(const Bytes& image) {
    if (shown_.size() != image.size()) {
      ASSERT_EQ(support::file_calls().ftruncate(fd_.get(), static_cast<off_t>(image.size())), 0);
      shown_.resize(image.size(), 0);
    }
    for (std::size_t at = 0; at < image.size(); at += 4096) {
      const std::size_t end = std::min<std::size_t>(at + 4096, image.size());
      if (std::equal(image.begin() + at, image.begin() + end, shown_.begin() + at)) continue;
      const support::Transfer t = support::pwrite_full(fd_.get(), image.data() + at, end - at, at);
      ASSERT_TRUE(t.complete(end - at));
      std::copy(image.begin() + at, image.begin() + end, shown_.begin() + at);
    }
  }

 private:
  support::UniqueFd fd_;
  Bytes shown_;  // what the file holds
};

class PowerLossRun {
 public:
  explicit PowerLossRun(std::uint32_t seed) : random_(seed), chains_(2 + seed % 2) {}

  // Allocates up to `count` series (each syncs about 4 times); returns the captures checked.
  std::size_t run(std::size_t count) {
    if (chains_ == 2) files_.failing_sync = 2 + random_() % (4 * count);
    support::ScopedFileCalls scope(files_);
    tsdb_testing::create_quietly(tsdb_, path_, chains_, kBlock, 1);
    creating_ = false;
    tsdb_.diagnostics.set(0);
    states_.push_back(state());
    for (std::size_t i = 1; i <= count && !testing::Test::HasFailure(); ++i) {
      begun_ = i;
      const SeriesDescription series = random_series();
      try {
        series_.push_back({series, allocate_described_ts(tsdb_, series)});
        EXPECT_FALSE(files_.sync_failed()) << "an allocation was acknowledged after a failed sync";
        acknowledged_ = i;
      } catch (const error_io& e) {
        // The first failed flush stops the TSDB: every later call fails with it, writing nothing.
        const std::string text =
            "flush failed with error: \"" + error::system_error_text(EIO) + "\"";
        EXPECT_TRUE(files_.sync_failed() && e.description_text() == text) << e.text();
        const std::size_t failed_at = files_.calls();
        testing_util::expect_error<error_io>([&] { allocate_described_ts(tsdb_, series); }, text);
        EXPECT_EQ(files_.count_after(failed_at, {"pwrite", "fallocate", "fsync"}), 0u);
        break;
      }
    }
    capture();
    return checked_;
  }

 private:
  SeriesDescription random_series() {
    SeriesDescription series{static_cast<std::uint32_t>(1 + random_() % 4), {}};
    for (std::uint32_t levels = 1 + random_() % 3; series.levels.size() < levels;) {
      const auto blocks = static_cast<std::uint32_t>(1 + random_() % 8);
      series.levels.push_back({blocks * kBlock / datatype_size(series.datatype),
                               static_cast<std::uint32_t>(random_())});
    }
    return series;
  }

  // The entries of the current replica of each kind, as the engine holds them.
  State state() {
    State state;
    for (const ChainKind* kind : kChainKinds) {
      const PointerChain& chain = tsdb_.current_replica(*kind);
      for (std::uint32_t e = 0; e < chain_capacity(chain); ++e) {
        state[kind->number].push_back(chain_entry(chain, e));
      }
    }
    return state;
  }

  // Checks the file as a power cut now would leave it, durable bytes alone and with some more.
  void capture() {
    if (creating_) return;  // a TSDB cut short in its creation is no TSDB
    // The first sync of an allocation comes when the engine holds all it is about to commit.
    if (states_.size() == begun_) states_.push_back(state());
    support::FileCalls plain;
    support::ScopedFileCalls scope(plain);
    for (const std::uint32_t odds : {0, 2, 2}) {
      SCOPED_TRACE("capture " + std::to_string(checked_++) +
                   (odds == 0 ? " (synced bytes)" : " (some unsynced sectors)"));
      files_.image(image_, &random_, odds);
      crash_file_.write(image_);
      try {
        check_capture();
      } catch (const error::Exception& e) {
        ADD_FAILURE() << "reading failed: " << e.text();
      }
    }
  }

  // The replica of each kind holds the entries (and so the capacity) of the current replica at
  // the commit of one of the allocations from the last one acknowledged to the one under way.
  void check_capture() {
    Reader reader;
    reader.open(crash_path_);
    std::array<std::size_t, kChainKindCount> shown{};
    Entries checks;
    for (const ChainKind* kind : kChainKinds) {
      const std::uint32_t replica = reader.current_replica(*kind);
      ASSERT_NE(replica, kNoFreeEntry) << "no valid " << kind->name << " descriptor";
      const ReplicaWalk walk = reader.walk(*kind, replica);
      ASSERT_TRUE(walk.faults.empty() && walk.past_end == 0)
          << kind->name << " replica " << replica;
      Entries entries;
      ASSERT_TRUE(reader.each_entry(
          walk, [&entries](std::uint32_t, const EntryValue& value) { entries.push_back(value); }));
      std::size_t& j = shown[kind->number];
      for (j = acknowledged_; j < states_.size() && states_[j][kind->number] != entries;) ++j;
      ASSERT_LT(j, states_.size()) << kind->name << " replica " << replica << " holds no state of "
                                   << acknowledged_ << " to " << begun_ << " series";
      if (kind == &kCheckChain) checks = std::move(entries);
    }
    EXPECT_LE(shown[kCheckChain.number], shown[kLblockChain.number]) << "levels not committed";
    for (std::size_t s = 0; s < std::min(shown[kCheckChain.number], series_.size()); ++s) {
      EXPECT_EQ(checks.at(series_[s].second)[0], series_[s].first.datatype) << "series " << s;
    }
  }

  std::mt19937 random_;
  const std::uint32_t chains_;
  testing_util::TempDir dir_;
  const std::string path_ = dir_.file("main.tsdb");
  const std::string crash_path_ = dir_.file("crash.tsdb");
  CaptureFile crash_file_{crash_path_};
  Bytes image_;  // of the capture
  TsdbState tsdb_;
  DurableFile files_{[this] { capture(); }};
  bool creating_ = true;
  std::size_t begun_ = 0, acknowledged_ = 0, checked_ = 0;
  std::vector<State> states_;  // after creation and after each allocation begun
  std::vector<std::pair<SeriesDescription, std::uint32_t>> series_;  // acknowledged, with ids
};

// The run syncs thousands of times: its files go to memory (tmpfs) where there is one.
class TsdbPowerLossTest : public testing::Test {
 protected:
  void SetUp() override {
    if (std::filesystem::is_directory("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 1);
  }
  void TearDown() override { ::unsetenv("TMPDIR"); }
};

TEST_F(TsdbPowerLossTest, EveryCommittedSeriesSurvivesACutAtEverySync) {
  const bool long_run = std::getenv("VEXMON_LONG_TESTS") != nullptr;
  std::size_t checked = 0;
  // Long runs grow everything; ten short ones more cut the first commits of new TSDBs.
  const std::uint32_t long_seeds = long_run ? 30 : 2;
  for (std::uint32_t seed = 1; seed <= long_seeds + 10 && !HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    checked += PowerLossRun(seed).run(seed > long_seeds ? 5 : long_run ? 400 : 140);
  }
  EXPECT_GE(checked, 1000u);
}

}  // namespace
}  // namespace tsdb
