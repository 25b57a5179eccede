// Parsing journal transactions for the checker.
#include "server/database/checker/transaction_parse.h"

#include <vector>

#include "server/database/mdb/journal_format.h"

namespace checker {

namespace {

// Walks the TUPDs after the TBEG at `pos`. With `met`, a TUPD already met
// by another walk stops this one as torn.
ParsedTransaction walk(const std::uint8_t* j, std::uint64_t pos, std::uint64_t end,
                       std::vector<bool>* met, std::uint64_t met_base) {
  ParsedTransaction t;
  std::uint64_t q = pos + mdb::kTbegSize;
  while (q + 8 <= end && mdb::entry_magic(j + q) == mdb::kTupdMagic) {
    if (met) {
      if ((*met)[(q - met_base) / 8]) return t;
      (*met)[(q - met_base) / 8] = true;
    }
    if (q + mdb::kTupdHeaderSize > end) return t;
    const mdb::UpdateEntry update = mdb::decode_tupd(j + q);
    if (update.size > end - q) return t;
    ++t.updates;
    t.update_bytes += update.data_length;
    q += update.size;
  }
  if (t.updates == 0) {
    t.kind = ParsedTransaction::kNoUpdate;
    return t;
  }
  if (q + mdb::kTendSize > end || mdb::entry_magic(j + q) != mdb::kTendMagic) return t;
  t.tend = q;
  t.kind = mdb::transaction_crc(j + pos, q - pos) == mdb::tend_crc(j + q)
               ? ParsedTransaction::kComplete
               : ParsedTransaction::kBadCrc;
  return t;
}

}  // namespace

ParsedTransaction parse_transaction(const std::uint8_t* journal, std::uint64_t pos,
                                    std::uint64_t end) {
  return walk(journal, pos, end, nullptr, 0);
}

void find_complete_transactions(const std::uint8_t* journal, std::uint64_t from, std::uint64_t end,
                                std::uint64_t serial, FoundTransactions& found) {
  from = (from + 7) / 8 * 8;
  if (from >= end) return;
  std::vector<bool> met((end - from) / 8 + 1, false);
  for (std::uint64_t pos = from; pos + mdb::kTbegSize <= end; pos += 8) {
    if (mdb::entry_magic(journal + pos) != mdb::kTbegMagic ||
        mdb::tbeg_serial(journal + pos) != serial) {
      continue;
    }
    const ParsedTransaction t = walk(journal, pos, end, &met, from);
    if (t.kind != ParsedTransaction::kComplete) continue;
    if (found.count++ == 0) found.first = pos;
    pos = t.tend;  // the loop steps past the TEND
  }
}

}  // namespace checker
