// The blocks of an opened MDB against its allocation map: each block's
// content is classified (zero, object block, index node, leaf, other) and
// compared with its state; the objects of every object block are parsed.
// Reads go through the engine's store, so a read-only open's replayed
// journal is seen.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "server/database/checker/mdb_layout.h"
#include "server/database/checker/object_parse.h"
#include "server/database/checker/report.h"

namespace checker {

using RefKey = std::pair<std::uint32_t, std::uint32_t>;  // block, offset

struct BlockScan {
  std::uint32_t blocks = 0;            // blocks of the store
  std::vector<std::uint8_t> states;    // map state of blocks 0 .. blocks-1
  std::map<RefKey, ObjectInfo> objects;
  std::set<RefKey> damaged;            // objects that could not be parsed
  // Blocks whose piece walk broke, with the offset where it broke: nothing
  // from there on could be read.
  std::map<std::uint32_t, std::uint32_t> broken_from;

  // True when the object at `ref` was reported already: unparsable, or
  // behind a broken piece.
  bool reported(const RefKey& ref) const {
    const auto broken = broken_from.find(ref.first);
    return damaged.count(ref) ||
           (broken != broken_from.end() && ref.second >= broken->second);
  }
};

// Reads block n of the open store into `buffer` (resized to one block).
void read_store_block(std::uint32_t n, std::vector<std::uint8_t>& buffer);

// Scans the open store. `file` names the MDB in problem lines; with `dump`
// every object goes into the report.
BlockScan scan_blocks(const MdbLayout& layout, const std::string& file,
                      bool dump, Report& report);

std::string ref_text(const RefKey& ref);

}  // namespace checker
