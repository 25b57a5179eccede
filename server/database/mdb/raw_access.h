// The raw access layer: one block-sized buffer, allocated when the MDB is
// started. Nothing in this program reads or writes through it yet; starting
// it checks that the MDB's block size is known.
#pragma once

#include <cstdint>
#include <span>

namespace mdb {

// Allocates the layer's zero-filled one-block buffer. A block size of 0
// means the MDB's I/O is not set up yet: throws mdb::error_internal.
void init_raw_access(std::uint32_t block_size);

// The buffer; empty before init_raw_access.
std::span<std::uint8_t> raw_access_buffer();

}  // namespace mdb
