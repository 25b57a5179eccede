#include "server/database/tsdb/creation.h"

#include <gtest/gtest.h>

#include "server/database/support/errors.h"
#include "server/database/support/test_util.h"
#include "server/database/tsdb/tsdb_state.h"
#include "server/database/tsdb/tsdb_test_util.h"

namespace tsdb {
namespace {

using testing_util::expect_error;

// The bytes and progress lines of a creation are checked end to end with the
// tool; this checks what it leaves open in memory for series allocation.
TEST(CreationTest, DefaultCreationLeavesTheTsdbOpen) {
  testing_util::TempDir dir;
  const std::string path = dir.file("main.tsdb");
  TsdbState tsdb;
  tsdb_testing::create_quietly(tsdb, path, 3, 8192, 10);
  EXPECT_TRUE(tsdb.allocator.in_use(0));
  EXPECT_TRUE(tsdb.allocator.in_use(12));
  EXPECT_FALSE(tsdb.allocator.in_use(13));
  EXPECT_EQ(tsdb.allocator.covered(), 1280u);
  EXPECT_EQ(tsdb.current_replica(kCheckChain).elements[0].first, 4u);
  EXPECT_EQ(tsdb.header_image, tsdb_testing::read_block(path, 8192, 0));
  expect_error<error_internal>([&] { tsdb_create_header(tsdb, 8192, 3); },
                               "Header loaded, then re-created");
}

TEST(CreationTest, ReplicasAreSizedForTheExpectedChecks) {
  // The chain sizes of K = 1000 with B = 1024, on a small store.
  testing_util::TempDir dir;
  const std::string path = dir.file("sizes.tsdb");
  TsdbState tsdb;
  tsdb_testing::open_empty_store(tsdb, path, 1024);
  tsdb.allocator.bitmap_init(40);
  tsdb.diagnostics.set(0x0F);
  tsdb_create_header(tsdb, 1024, 2);
  testing::internal::CaptureStderr();
  for (const ChainKind* kind : kChainKinds) chain_create(tsdb, *kind, 0, 1000);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Allocated 4 for PointerChain at dblock 1\n"
            "Will write 4 of HT data to block 1\n"
            "Allocated 4 for PointerChain at dblock 5\n"
            "Will write 4 of HT data to block 5\n"
            "Allocated 16 for PointerChain at dblock 9\n"
            "Allocated 8 for PointerChain at dblock 25\n");
  EXPECT_EQ(chain_capacity(tsdb.replicas_of(kLblockChain)[0]), 16u * 63);

  // Seven blocks are left: the next lblock replica finds no run of 16.
  expect_error<error_dbnospace>(
      [&] { chain_create(tsdb, kLblockChain, 1, 1000); },
      "No space available for pointer chain allocation");
}

TEST(CreationTest, ParametersOutOfRangeAreRefusedBeforeAnyOutput) {
  testing_util::TempDir dir;
  const std::string path = dir.file("main.tsdb");
  testing_util::write_file(path, {});
  struct Case {
    std::uint32_t chains, block_size, checks;
    const char* text;
  };
  for (const Case c : {
           Case{3, 8192, 0, "Cannot create a TSDB for 0 expected checks"},
           Case{3, 1024, 4194304,
                "Cannot create a TSDB for 4194304 expected checks: more than "
                "2^32 blocks of 1024 bytes"},
           Case{3, 1000, 10, "Unsupported TSDB block size 1000"},
           Case{6, 8192, 10, "Unsupported number of TSDB chains 6"},
       }) {
    TsdbState tsdb;
    testing::internal::CaptureStderr();
    expect_error<error_internal>(
        [&] { tsdb_create(tsdb, path, c.chains, c.block_size, c.checks); },
        c.text);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(tsdb.store.is_open());
  }
  EXPECT_EQ(testing_util::read_file(path).size(), 0u);
}

TEST(CreationTest, ProcessWideInstanceCanBeReplaced) {
  testing_util::TempDir dir;
  for (const char* name : {"a.tsdb", "b.tsdb"}) {
    reset_tsdb_instance();
    const std::string path = dir.file(name);
    testing_util::write_file(path, {});
    testing::internal::CaptureStderr();
    tsdb_create(path, 2, 16384, 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing_util::read_file(path).size(), 64u * 16384);
    EXPECT_EQ(tsdb_instance().chains, 2u);
  }
  // A bare file name stops the creation right after its first progress text.
  reset_tsdb_instance();
  testing::internal::CaptureStderr();
  EXPECT_THROW(tsdb_create("main.tsdb", 2, 8192, 1), error_io);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Initializing I/O layer...");
  reset_tsdb_instance();
}

}  // namespace
}  // namespace tsdb
