// Rewriting the journal path in an MDB header so that a power cut during
// the write leaves the old header or the new one, never a mixture.
#pragma once

#include <string>

#include "server/database/mdb/format.h"

namespace admin {

// The bytes of a header that a torn write keeps whole: devices write a
// 512-byte sector entirely or not at all.
inline constexpr std::size_t kAtomicHeaderBytes = 512;

// `old_header` with its external journal path replaced by `journal_path`
// and every other field kept. Every byte the new header uses lies in the
// first sector, and the bytes after it are the old header's, so the write
// changes the first sector only. Throws Failure (refused) when the new
// header would reach past the first sector.
// REQUIRES: old_header names an external journal and passed the checker.
mdb::HeaderImage relocated_header(const mdb::HeaderImage& old_header,
                                  const std::string& journal_path);

// Writes `header` over the first 1024 bytes of the MDB in one pwrite and
// syncs the file. Throws Failure (refused) when the write or the sync fails.
void write_header(const std::string& mdb, const mdb::HeaderImage& header);

}  // namespace admin
