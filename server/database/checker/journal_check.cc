// Checking the journal on disk. The walk follows the replay's rules: the
// valid index pointer with the higher serial names the current turn; its
// transactions are taken while each is a TBEG of the turn's serial, its
// TUPDs and a TEND with the right CRC; one TRED moves to the other half
// with the next serial.
//
// Where the walk stops is most often where the turn's writing stopped: a
// zero word, an entry of an older turn, or a TBEG that a transaction which
// logged nothing left behind (taking it back only moves the write position)
// over whatever an older turn wrote there. So a stop is a problem only where
// damage shows: complete, CRC-valid transactions of the turn lie beyond it,
// or of the next turn in the other half when no TRED led there, which a
// replay skips; or the turn's first transaction fails a CRC that no older
// serial explains.
#include "server/database/checker/journal_check.h"

#include <optional>
#include <vector>

#include "server/database/checker/tbeg_serial.h"
#include "server/database/checker/transaction_parse.h"
#include "server/database/mdb/journal_format.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/text_format.h"

namespace checker {

namespace {

using support::text_u32;
using support::text_u64;

struct Walk {
  std::uint64_t transactions = 0;
  std::uint64_t updates = 0;
  std::uint64_t update_bytes = 0;
};

}  // namespace

void check_journal(const MdbLayout& layout, const std::string& mdb_path,
                   const std::string& journal_path, const std::string& file, Report& report) {
  std::vector<std::uint8_t> bytes;
  std::uint64_t length = 0;
  bool read = false;
  if (layout.internal_journal) {
    length = std::uint64_t{layout.journal_blocks} * layout.block_size;
    read = read_file_range(mdb_path, std::uint64_t{layout.journal_start} * layout.block_size,
                           length, bytes);
    report.fact("journal.placement", "internal");
  } else {
    report.fact("journal.placement", "external");
    report.fact("journal.path", journal_path);
    // The whole file is the journal.
    if (const std::optional<std::uint64_t> size = readable_length(journal_path)) {
      length = *size;
      read = read_file_range(journal_path, 0, length, bytes);
    }
  }
  if (!read || length < mdb::kJournalHeaderSize || length > 0xFFFFFFFFu) {
    report.problem(file, std::nullopt, "journal",
                   "cannot be read as a journal of at least 48 bytes");
    return;
  }
  report.fact("journal.bytes", length);
  const std::uint8_t* j = bytes.data();
  const auto jlength = static_cast<std::uint32_t>(length);
  if (support::load_be32(j) != mdb::kJournalMagic ||
      support::load_be32(j + 4) != mdb::kJournalVersion) {
    report.problem(file, std::nullopt, "journal header", "magic or version is not JHDR 1");
    return;
  }
  for (std::uint32_t i = 0; i < 2; ++i) {
    if (!mdb::pointer_valid(j + mdb::kIndexPointerOffset + i * mdb::kIndexPointerSize)) {
      report.problem(file, std::nullopt, "journal header",
                     "index pointer " + text_u32(i) + " fails its CRC");
    }
  }
  const std::optional<std::uint32_t> choice = mdb::choose_pointer(j);
  if (!choice) return;
  const mdb::IndexPointer chosen =
      mdb::decode_index_pointer(j + mdb::kIndexPointerOffset + *choice * mdb::kIndexPointerSize);
  report.fact("journal.serial", chosen.serial);
  report.fact("journal.half", *choice);
  Walk walk;
  std::uint32_t half = *choice;
  std::uint64_t serial = chosen.serial;
  std::uint64_t pos = chosen.start;
  bool redirected = false;
  // What lies where the walk stopped, when it stopped at an entry inside its
  // half; empty when it ran to the half's end or the journal is fresh.
  std::optional<std::string> stopped_at;
  std::optional<ParsedTransaction> failed;  // a transaction of the turn there
  const auto problem = [&](std::uint64_t at, const std::string& text) {
    report.problem(file, std::nullopt, "journal transaction at offset " + text_u64(at), text);
  };
  // A fresh journal (start 0) has no turn yet.
  while (pos != 0) {
    const std::uint64_t half_end = half == 0 ? jlength / 2 : jlength;
    if (pos % 8 != 0 || pos + 8 > half_end) break;
    const std::uint32_t magic = mdb::entry_magic(j + pos);
    if (magic == mdb::kTredMagic) {
      const std::uint32_t target = mdb::tred_target(j + pos);
      if (redirected || target != mdb::half_bounds(jlength, 1 - half).start) {
        problem(pos,
                "redirection to " + text_u32(target) + " is not the single move to the other half");
        pos = 0;
        break;
      }
      redirected = true;
      half = 1 - half;
      serial += 1;
      pos = target;
      continue;
    }
    if (magic != mdb::kTbegMagic || pos + mdb::kTbegSize > half_end) {
      stopped_at = "no TBEG";
      break;
    }
    if (mdb::tbeg_serial(j + pos) != serial) {
      stopped_at = "TBEG of serial " + text_u64(mdb::tbeg_serial(j + pos)) + ", not the turn's " +
                   text_u64(serial);
      break;
    }
    const ParsedTransaction t = parse_transaction(j, pos, half_end);
    if (t.kind != ParsedTransaction::kComplete) {
      failed = t;
      stopped_at = t.kind == ParsedTransaction::kBadCrc ? "CRC does not match"
                   : t.kind == ParsedTransaction::kTorn ? "has no TEND"
                                                        : "TBEG with no update after it";
      break;
    }
    ++walk.transactions;
    walk.updates += t.updates;
    walk.update_bytes += t.update_bytes;
    pos = t.tend + mdb::kTendSize;
  }
  if (pos != 0) {
    // Complete transactions of the turn beyond the stop, or of the next turn
    // in the other half when no TRED led there, are what a replay skips.
    FoundTransactions skipped;
    if (stopped_at) {
      find_complete_transactions(j, pos + 8, half == 0 ? jlength / 2 : jlength, serial, skipped);
    }
    if (!redirected) {
      const std::uint32_t other = mdb::half_bounds(jlength, 1 - half).start;
      find_complete_transactions(j, other, half == 0 ? jlength : jlength / 2, serial + 1, skipped);
    }
    if (skipped.count > 0) {
      problem(pos, stopped_at.value_or("end of the half") + "; a replay stops here and skips " +
                       text_u64(skipped.count) + " CRC-valid transaction" +
                       (skipped.count == 1 ? "" : "s") + " from offset " + text_u64(skipped.first));
    } else if (failed && failed->kind == ParsedTransaction::kBadCrc &&
               pos == mdb::half_bounds(jlength, half).start &&
               serial_matching_crc(j + pos, failed->tend - pos, mdb::tend_crc(j + failed->tend),
                                   static_cast<std::uint32_t>(serial >> 32)) >= serial) {
      // A turn's first TBEG lies where the older turns of its half began too,
      // so a TBEG left there over an older transaction gives that
      // transaction's CRC the older serial; any other CRC is damage.
      problem(pos, "CRC does not match; a replay stops here");
    }
  }
  report.fact("journal.transactions", walk.transactions);
  report.fact("journal.updates", walk.updates);
  report.fact("journal.update_bytes", walk.update_bytes);
}

}  // namespace checker
