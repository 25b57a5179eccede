// The rules a sound MDB keeps, read from its blocks alone: the allocation
// map against every block, the objects of every object block, the index
// trees (order, separators, depth, links, map states) and each index's
// entries against the objects. The checker applies them to a set it opened
// read-only; a test applies them to the set it holds open.
#pragma once

#include <string>
#include <vector>

#include "server/database/checker/block_scan.h"
#include "server/database/checker/index_check.h"
#include "server/database/checker/report.h"

namespace checker {

struct MdbRuleOptions {
  bool dump = false;  // every object into the report
  // False for trees whose entries name no objects (a test of the index
  // layer alone): the entries are not held against the objects.
  bool entries_name_objects = true;
  // True when no crash cut an allocation short (a test without crashes).
  // An allocation commits in steps: an empty block becomes a used one with
  // a single placeholder, then the placeholder is split, then the object is
  // written; a cut between them leaves a used block without objects, or an
  // object that holds what the space held before and no index names.
  // Only in an uncut set is a used block without objects a problem.
  bool uncut = false;
};

// What the rules read, for a caller's further checks.
struct MdbRuleResult {
  BlockScan scan;
  std::vector<TreeCheck> trees;  // one per root, NodeId's first
  bool node_ids_match = false;   // the NodeId entries and the objects agree
};

// Applies the rules to the blocks of `mdb`; `file` names the MDB in problem
// lines. Facts and problems go into `report`.
// REQUIRES: mdb.first_map_block < mdb.first_data_block, and mdb.roots holds
// the NodeId and ParentId roots first.
MdbRuleResult check_mdb_blocks(const MdbBlocks& mdb, const std::string& file,
                               const MdbRuleOptions& options, Report& report);

// The problem lines of a report, one a line; empty when it is sound.
std::string problem_lines(const Report& report);

}  // namespace checker
