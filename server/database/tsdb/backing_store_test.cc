#include "server/database/tsdb/backing_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "server/database/support/errors.h"
#include "server/database/support/test_util.h"
#include "server/database/tsdb/tsdb_test_util.h"

namespace tsdb {
namespace {

using testing_util::expect_error;

using testing_util::read_file;
using testing_util::write_file;

TEST(StoreDirectoryTest, KeepsTheFinalSeparator) {
  EXPECT_EQ(store_directory("D:\\data\\main.tsdb"), "D:\\data\\");
  EXPECT_EQ(store_directory("D:"), "D:\\");
  EXPECT_EQ(store_directory("/srv/tsdb/"), "/srv/tsdb/");
  EXPECT_EQ(store_directory("a/b\\c"), "a/b\\");  // mixed: "\" wins
  EXPECT_EQ(store_directory("main.tsdb"), "");
}

TEST(BackingStoreTest, OpenRefusesBareNamesAndMissingFiles) {
  BackingStore store;
  expect_error<error_io>([&] { store.btb_Open("main.tsdb"); },
                         "Cannot give empty name to TSDB backing store");
  EXPECT_FALSE(std::filesystem::exists("main.tsdb"));

  testing_util::TempDir dir;
  const std::string missing = dir.file("missing.tsdb");
  expect_error<error_open>([&] { store.btb_Open(missing); },
                           "Unable to open \"" + missing + "\": No such file or directory");
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_FALSE(store.is_open());
}

TEST(BackingStoreTest, BlockCountCountsPartialLastBlock) {
  testing_util::TempDir dir;
  const std::string path = dir.file("t.tsdb");
  struct Case {
    std::size_t bytes;
    std::uint32_t blocks;
  };
  // Sizes below, at and past the first probe at block 1024 and past the doubling steps.
  for (const Case c : {Case{0, 0}, Case{3 * 1024 + 1, 4}, Case{1024 * 1024, 1024},
                       Case{1025 * 1024, 1025}, Case{4097 * 1024 - 5, 4097}}) {
    write_file(path, std::vector<std::uint8_t>(c.bytes, 1));
    BackingStore store;
    store.btb_Open(path);
    store.btb_SetBlockSize(1024);
    EXPECT_EQ(store.btb_BlockCount(), c.blocks) << c.bytes;
  }
}

TEST(BackingStoreTest, StoreOfTwoToThe32BlocksIsRefused) {
  testing_util::TempDir dir;
  const std::string path = dir.file("huge.tsdb");
  write_file(path, {});
  std::error_code failed;
  std::filesystem::resize_file(path, (std::uintmax_t{1} << 42) + 1, failed);
  if (failed) GTEST_SKIP() << "no sparse file of 4 TiB here";
  BackingStore store;
  store.btb_Open(path);
  EXPECT_THROW(store.btb_SetBlockSize(1024), error_toobig);
  store.btb_SetBlockSize(2048);
  EXPECT_EQ(store.btb_BlockCount(), (std::uint32_t{1} << 31) + 1);
}

TEST(BackingStoreTest, GrowWriteAndZeroAll) {
  testing_util::TempDir dir;
  const std::string path = dir.file("t.tsdb");
  BackingStore store;
  tsdb_testing::open_empty_store(store, path, 8192);
  EXPECT_EQ(store.directory(), dir.path().string() + "/");
  EXPECT_GT(store.cgs_space(), 0u);
  // 40 GiB at 8192 bytes; a volume larger than a TSDB can number reports
  // the largest count instead of failing the creation.
  EXPECT_EQ(free_blocks_in(40ull << 30, 8192), 5242880u);
  EXPECT_EQ(free_blocks_in(8191, 8192), 0u);
  EXPECT_EQ(free_blocks_in(5ull << 40, 1024), 0xFFFFFFFFu);

  store.btb_Grow(1280);
  EXPECT_EQ(store.btb_BlockCount(), 1280u);
  EXPECT_EQ(read_file(path).size(), 10485760u);

  std::vector<std::uint8_t> ones(2 * 8192, 0xFF);
  store.btb_WriteFile(5, ones.data(), 0);     // seeks, writes nothing
  store.btb_WriteFile(1279, ones.data(), 2);  // runs past the end
  EXPECT_EQ(read_file(path).size(), 1281u * 8192);
  EXPECT_EQ(read_file(path)[1279 * 8192], 0xFF);
  // The count is raised only by growth: zeroing covers the 1280 blocks.
  store.btb_ZeroAll();
  const std::vector<std::uint8_t> after = read_file(path);
  EXPECT_EQ(after[1279 * 8192], 0);
  EXPECT_EQ(after[1280 * 8192], 0xFF);
}

TEST(BackingStoreTest, FailuresCarryTheSystemText) {
  testing_util::TempDir dir;
  std::filesystem::create_directory(dir.path() / "gone");
  BackingStore store;
  tsdb_testing::open_empty_store(store, dir.file("gone/t.tsdb"), 1024);
  std::filesystem::remove_all(dir.path() / "gone");
  expect_error<error_io>([&] { store.cgs_space(); },
                         "Unable to get free space information from \"" + dir.path().string() +
                             "/gone/\": No such file or directory");
}

// Writes past a file size limit fail with EFBIG; the limit is lifted again before the test ends.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

TEST(BackingStoreTest, WriteFailuresNameBlockAndOffset) {
  testing_util::TempDir dir;
  BackingStore store;
  tsdb_testing::open_empty_store(store, dir.file("t.tsdb"), 1024);
  std::vector<std::uint8_t> data(3 * 1024, 7);
  std::string grow_error, write_error;
  std::uint32_t grown = 0;
  {
    FileSizeLimit limit(2500);
    try {
      store.btb_Grow(4);
    } catch (const error_read& e) {
      grow_error = e.text();
    }
    grown = store.btb_BlockCount();
    // A failed write stops the store until it is opened again.
    store.btb_Open(dir.file("t.tsdb"));
    try {
      store.btb_WriteFile(0, data.data(), 3);
    } catch (const error_io& e) {
      write_error = e.text();
    }
  }
  // Growth stops at the first failing block and counts only those before;
  // the offset is how far the failing block got.
  EXPECT_EQ(grow_error,
            "Cannot seq. write 1024 bytes at block 2 offset 452: "
            "\"File too large\"");
  EXPECT_EQ(grown, 2u);
  // A write that gets partly through reports where it stopped.
  EXPECT_EQ(write_error,
            "Cannot seq. write 3072 bytes at block 0 offset 2500: "
            "\"File too large\"");
}

}  // namespace
}  // namespace tsdb
