// Helpers shared by the TSDB tests: an opened store on a fresh file, a
// freshly created TSDB, and reading blocks back from the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/database/support/test_util.h"
#include "server/database/tsdb/creation.h"
#include "server/database/tsdb/tsdb_state.h"

namespace tsdb_testing {

// Creates an empty file at `path` and opens it as `store` with block size `block_size`.
inline void open_empty_store(tsdb::BackingStore& store, const std::string& path,
                             std::uint32_t block_size) {
  testing_util::write_file(path, {});
  store.btb_Open(path);
  store.btb_SetBlockSize(block_size);
}

// Creates a TSDB in a new file at `path` on `tsdb`, without its progress lines, and leaves it open.
inline void create_quietly(tsdb::TsdbState& tsdb, const std::string& path, std::uint32_t chains,
                           std::uint32_t block_size, std::uint32_t initial_checks) {
  testing_util::write_file(path, {});
  testing_util::stderr_of(
      [&] { tsdb::tsdb_create(tsdb, path, chains, block_size, initial_checks); });
}

// A test on a TSDB created (for one expected check) in a temporary file.
class CreatedTsdbTest : public ::testing::Test {
 protected:
  void create(std::uint32_t chains, std::uint32_t block_size) {
    block_size_ = block_size;
    create_quietly(tsdb_, path(), chains, block_size, 1);
  }
  std::string path() const { return dir_.file("test.tsdb"); }
  std::vector<std::uint8_t> block(std::uint32_t n) const {
    return testing_util::read_range(path(), std::uint64_t{n} * block_size_, block_size_);
  }

  testing_util::TempDir dir_;
  tsdb::TsdbState tsdb_;
  std::uint32_t block_size_ = 0;
};

}  // namespace tsdb_testing
