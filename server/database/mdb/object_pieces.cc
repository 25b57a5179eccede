// Walking and logging the pieces of an object block copy.
#include "server/database/mdb/object_pieces.h"

#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/text_format.h"

namespace mdb {

void log_piece_header(std::uint32_t block, const std::uint8_t* data, std::uint32_t offset) {
  log_update(data + offset, kPieceHeaderSize, block_offset(block) + offset);
}

std::optional<std::uint32_t> placeholder_before(std::uint32_t block, const std::uint8_t* data,
                                                std::uint32_t offset) {
  std::optional<std::uint32_t> last;
  // 64 bits, so that a corrupt length cannot wrap the position around.
  std::uint64_t position = 0;
  while (position < offset) {
    const auto at = static_cast<std::uint32_t>(position);
    const std::uint32_t header = piece_header(data, at);
    if (header < 2) {
      diagnostic(kDiagNotice, "block " + support::text_u32(block) + " offset " +
                                  support::text_u32(at) +
                                  " contained zero-length object which "
                                  "should not exist");
      break;
    }
    if (is_placeholder(header)) last = at;
    position += piece_length(header);
  }
  return last;
}

}  // namespace mdb
