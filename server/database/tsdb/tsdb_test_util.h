// Helpers shared by the TSDB tests: an opened store on a fresh file and
// reading blocks back from the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/database/support/test_util.h"
#include "server/database/tsdb/tsdb_state.h"

namespace tsdb_testing {

// Creates an empty file at `path` and opens it as the store of `tsdb` with
// block size `block_size`.
inline void open_empty_store(tsdb::TsdbState& tsdb, const std::string& path,
                             std::uint32_t block_size) {
  testing_util::write_file(path, {});
  tsdb.store.btb_Open(path);
  tsdb.store.btb_SetBlockSize(block_size);
}

// Block `block` of the file at `path`.
inline std::vector<std::uint8_t> read_block(const std::string& path,
                                            std::uint32_t block_size,
                                            std::uint32_t block) {
  return testing_util::read_range(path, std::uint64_t{block} * block_size,
                                  block_size);
}

}  // namespace tsdb_testing
