// The index B+-trees of an MDB: structure (magics, counts, key order
// within and across blocks, separators, equal leaf depth, leaf links both
// ways, no empty leaves, map states) and the entries, which the caller holds against the
// objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/database/checker/block_scan.h"
#include "server/database/checker/report.h"
#include "server/database/mdb/node_id.h"
#include "server/database/mdb/object_ref.h"

namespace checker {

struct IndexEntry {
  mdb::NodeId key;
  mdb::ObjectRef data;
};

struct TreeCheck {
  bool created = true;  // false: the root block was never made a root
  bool sound = true;    // no structural problem
  std::uint32_t depth = 0;
  std::uint32_t leaves = 0;
  std::vector<IndexEntry> entries;  // in tree order
};

// Walks the tree whose root is `root`; `name` names it in problem lines
// ("NodeId index"). `reached` (one flag per store block) marks every block
// the walk visits; a block reached twice is a problem.
TreeCheck check_tree(const std::string& name, std::uint32_t root, bool unique, const MdbBlocks& mdb,
                     const BlockScan& scan, const std::string& file, std::vector<bool>& reached,
                     Report& report);

// Reports every block whose state says index node or leaf that no tree
// reached.
void report_lost_index_blocks(const BlockScan& scan, const std::vector<bool>& reached,
                              const std::string& file, Report& report);

}  // namespace checker
