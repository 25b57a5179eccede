// Reading one journal transaction as it lies on disk, and finding the
// complete transactions of a serial in a stretch of journal bytes.
#pragma once

#include <cstdint>

namespace checker {

struct ParsedTransaction {
  enum Kind { kComplete, kNoUpdate, kTorn, kBadCrc } kind = kTorn;
  std::uint64_t tend = 0;  // where the TEND lies (kComplete, kBadCrc)
  std::uint64_t updates = 0;
  std::uint64_t update_bytes = 0;
};

// The transaction whose TBEG is at `pos`: its TUPDs, then a TEND with the
// CRC of the TBEG and the TUPDs, all before `end`. A TBEG with no TUPD after
// it is kNoUpdate whatever follows: no committed transaction is empty.
// REQUIRES: pos + 16 <= end, and `end` no further than the journal's bytes.
ParsedTransaction parse_transaction(const std::uint8_t* journal, std::uint64_t pos,
                                    std::uint64_t end);

struct FoundTransactions {
  std::uint64_t count = 0;
  std::uint64_t first = 0;  // offset of the first one, when count > 0
};

// Adds to `found` the complete transactions whose TBEG carries `serial` and
// starts on a multiple of 8 in [from, end). Linear in end - from: a TUPD
// that an earlier candidate's walk met ends any later walk that meets it,
// so no byte is walked or summed twice.
void find_complete_transactions(const std::uint8_t* journal, std::uint64_t from, std::uint64_t end,
                                std::uint64_t serial, FoundTransactions& found);

}  // namespace checker
