// The blocks of an MDB against its allocation map: each block's content is
// classified (zero, object block, index node, leaf, other) and compared with
// its state; the objects of every object block are parsed. The blocks come
// from a reader the caller gives, so the checker can see a read-only open's
// replayed journal and a test the committed state of the set it holds open.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "server/database/checker/object_parse.h"
#include "server/database/checker/report.h"

namespace checker {

using RefKey = std::pair<std::uint32_t, std::uint32_t>;  // block, offset

// The blocks of an MDB as a reader sees them, with the layout the header
// gives.
struct MdbBlocks {
  std::uint32_t block_size = 0;
  std::uint64_t blocks = 0;            // blocks the store holds
  std::uint32_t first_map_block = 0;   // F
  std::uint32_t first_data_block = 0;  // D
  std::vector<std::uint32_t> roots;    // the index roots, NodeId's first
  // Reads block n into the buffer, resized to one block.
  // REQUIRES: n < blocks.
  std::function<void(std::uint32_t n, std::vector<std::uint8_t>& buffer)> read;
};

struct BlockScan {
  std::uint32_t blocks = 0;          // blocks of the store
  std::vector<std::uint8_t> states;  // map state of blocks 0 .. blocks-1
  std::map<RefKey, ObjectInfo> objects;
  std::set<RefKey> damaged;  // objects that could not be parsed
  // Blocks whose piece walk broke, with the offset where it broke: nothing
  // from there on could be read.
  std::map<std::uint32_t, std::uint32_t> broken_from;

  // True when the object at `ref` was reported already: unparsable, or
  // behind a broken piece.
  bool reported(const RefKey& ref) const {
    const auto broken = broken_from.find(ref.first);
    return damaged.count(ref) || (broken != broken_from.end() && ref.second >= broken->second);
  }
};

// Scans the blocks. `file` names the MDB in problem lines; with `dump`
// every object goes into the report; with `uncut` (see MdbRuleOptions) a
// used block without objects is a problem.
// REQUIRES: first_map_block < first_data_block.
BlockScan scan_blocks(const MdbBlocks& mdb, const std::string& file, bool dump, bool uncut,
                      Report& report);

std::string ref_text(const RefKey& ref);

}  // namespace checker
