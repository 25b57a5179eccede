#include "server/database/mdb/backing_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "server/database/mdb/test_helpers.h"
#include "server/database/support/errors.h"
#include "server/database/support/test_util.h"

namespace mdb {
namespace {

using mdb_testing::expect_error;
using mdb_testing::make_zero_file;
using mdb_testing::stderr_of;

std::uint64_t probe_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  const std::uint64_t length = measured_length(fd);
  EXPECT_EQ(last_readable_offset(fd).has_value(), length != 0);
  ::close(fd);
  return length;
}

TEST(BackingStoreTest, ProbeOpenAndGrowOnlyWhenNeeded) {
  testing_util::TempDir dir;
  make_zero_file(dir.file("big"), 3'153'920);
  make_zero_file(dir.file("small"), 1000);
  make_zero_file(dir.file("empty"), 0);
  make_zero_file(dir.file("pow"), 16384);
  EXPECT_EQ(probe_file(dir.file("big")), 3'153'920u);
  EXPECT_EQ(probe_file(dir.file("small")), 1000u);
  EXPECT_EQ(probe_file(dir.file("pow")), 16384u);
  // An empty file has no readable byte: length 0, not 1.
  EXPECT_EQ(probe_file(dir.file("empty")), 0u);

  BackingStore store;
  const std::string missing = dir.file("missing.odb");
  expect_error<error_open>([&] { store.open(missing); },
                           "Cannot open database for read/write in \"" +
                               missing + "\"");
  EXPECT_FALSE(store.is_open());

  store.open(dir.file("big"));
  EXPECT_EQ(stderr_of([&] { store.ensure_block(384); }), "");
  EXPECT_EQ(store.length(), 3'153'920u);
  stderr_of([&] { store.ensure_block(385); });
  EXPECT_EQ(store.length(), 3'776'512u);
  EXPECT_EQ(std::filesystem::file_size(dir.file("big")), 3'776'512u);
  store.close();
  store.close();  // closing a closed store does nothing
}

TEST(BackingStoreTest, GrowAddsAboutAFifthInWholeZeroBlocks) {
  const struct {
    std::uint64_t initial;
    std::uint32_t block;
    std::uint64_t expected;
  } cases[] = {
      {3'153'920, 385, 3'776'512},  // step 630,780 rounds down to 622,592
      {100'000, 0, 116'384},        // step 20,000 rounds down to 16,384
      {40'000, 0, 48'192},          // step 8,000 rounds down to 0: one block
      {8192, 20, 21 * 8192},        // the block asked for beats the step
  };
  for (const auto& c : cases) {
    testing_util::TempDir dir;
    const std::string path = dir.file("store");
    testing_util::write_file(path, std::vector<std::uint8_t>(c.initial, 0x5A));
    BackingStore store;
    store.open(path);
    EXPECT_EQ(stderr_of([&] { store.grow(c.block); }),
              "Attempting to grow MDB from " + std::to_string(c.initial) +
                  " bytes to " + std::to_string(c.expected) + " bytes\n");
    EXPECT_EQ(store.length(), c.expected);
    store.close();
    const std::vector<std::uint8_t> bytes = testing_util::read_file(path);
    ASSERT_EQ(bytes.size(), c.expected);
    for (std::uint64_t i = 0; i < bytes.size(); ++i) {
      ASSERT_EQ(bytes[i], i < c.initial ? 0x5A : 0) << "at " << i;
    }
  }
}

TEST(BackingStoreTest, ReadsAndWritesPastTheEndAreRefusedUntouched) {
  testing_util::TempDir dir;
  const std::string path = dir.file("store");
  std::vector<std::uint8_t> content(1000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = i % 251;
  testing_util::write_file(path, content);
  BackingStore store;
  store.open(path);
  ASSERT_EQ(store.length(), 1000u);

  std::vector<std::uint8_t> buffer(1024, 0xEE);
  const std::string read_text =
      "Read beyond end of object backing store attempted";
  expect_error<error_range>([&] { store.read_bytes(buffer.data(), 0, 1024); },
                            read_text);
  expect_error<error_range>(
      [&] { store.read_bytes(buffer.data(), ~std::uint64_t{0}, 2); },
      read_text);
  EXPECT_EQ(buffer, std::vector<std::uint8_t>(1024, 0xEE));

  expect_error<error_range>(
      [&] { store.write_bytes(buffer.data(), 990, 11, false); },
      "Write beyond end of object backing store attempted");
  EXPECT_EQ(testing_util::read_file(path), content);

  // Exactly up to the end is allowed.
  store.read_bytes(buffer.data(), 990, 10);
  EXPECT_EQ(buffer[0], content[990]);
  EXPECT_EQ(store.write_bytes(buffer.data(), 0, 10, false), 10u);

  // A whole block that is not there is a failed block read.
  try {
    store.read_blocks(buffer.data(), 0, 1);
    ADD_FAILURE() << "short block read accepted";
  } catch (const error_io& e) {
    EXPECT_EQ(e.description_text().rfind("Could not block-read: \"", 0), 0u);
  }

  // An extending write (the journal replay's) moves the length to the
  // real end of the file, so that growth never zero-fills what it wrote.
  EXPECT_EQ(store.write_bytes(buffer.data(), 1000, 24, true), 24u);
  EXPECT_EQ(store.length(), 1024u);
  EXPECT_EQ(std::filesystem::file_size(path), 1024u);
}

}  // namespace
}  // namespace mdb
