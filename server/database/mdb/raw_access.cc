// The raw access layer's buffer and its start-up check.
#include "server/database/mdb/raw_access.h"

#include <vector>

#include "server/database/mdb/engine_root.h"
#include "server/database/support/errors.h"

namespace mdb {

// The engine root's part for the raw access layer.
struct RawAccessBuffer {
  std::vector<std::uint8_t> bytes;
};

namespace {

std::vector<std::uint8_t>& buffer() { return engine_root().raw_access.get().bytes; }

}  // namespace

void init_raw_access(std::uint32_t block_size) {
  if (block_size == 0) {
    throw error_internal(
        "Attempt to initialize raw access layer before MDB I/O was "
        "initialized");
  }
  buffer().assign(block_size, 0);
}

std::span<std::uint8_t> raw_access_buffer() { return buffer(); }

}  // namespace mdb
