// Allocation of time series (described series) in the TSDB.
//
// A series is a list of levels. Each level is a run of contiguous dblocks
// described by one lblock entry {first dblock, block count, next lblock,
// level parameter}; the levels of a series are linked through the next
// field, the last level naming 0. The series is known by its check id, the
// number of the check entry {datatype, first lblock}. All changes go to the
// current replica of each kind and are committed by one phase shift when
// the check id is taken. Invariants:
//   - lblock number 0 is never handed out, so 0 always means "no level";
//   - after a level has its lblock, the current head and tail replicas can
//     hold that lblock's number and carry 0 for it;
//   - allocations only add: nothing is released, and a failure leaves the
//     changes made so far uncommitted in memory.
#pragma once

#include <cstdint>
#include <vector>

namespace tsdb {

class TsdbState;

// One level of a series: the number of records it holds and a parameter
// that is stored unchanged in its lblock entry.
struct LevelDescription {
  std::uint32_t records = 0;
  std::uint32_t parameter = 0;
};

struct SeriesDescription {
  std::uint32_t datatype = 0;            // 1 to 4
  std::vector<LevelDescription> levels;  // the first is the series' first
};

// Record size in bytes of a datatype: 28, 20, 28, 1 for 1 to 4. Fails with
// error_dbtype "Datatype out of range" for any other value.
std::uint32_t datatype_size(std::uint32_t datatype);

// Allocates the levels of the series (the last one first, so each lblock
// entry can name the level after it), takes a check id for it and commits
// everything with a phase shift. Returns the check id. Fails with
// error_internal for an empty level list and error_dbtype for a bad
// datatype, both before anything is allocated.
// REQUIRES: the TSDB is created.
std::uint32_t allocate_described_ts(TsdbState& tsdb, const SeriesDescription& description);
// The same on the process-wide TSDB.
std::uint32_t allocate_described_ts(const SeriesDescription& description);

// Allocates n dblocks (growing the TSDB when needed) and an lblock entry
// {first dblock, n, next, parameter} in the current lblock replica, and
// sets the head and tail pointers of that lblock to 0. Returns the lblock
// number, never 0. Fails with error_dbnospace when no dblocks or no lblock
// can be had.
// REQUIRES: the TSDB is created.
std::uint32_t allocate_level(TsdbState& tsdb, std::uint32_t n, std::uint32_t parameter,
                             std::uint32_t next);

// Fills the first free check entry with {datatype, first_lblock} (growing
// the current check replica by a block when it is full) and commits with a
// phase shift. Returns the check id; 0 is a valid id.
// REQUIRES: the TSDB is created.
std::uint32_t allocate_check_id(TsdbState& tsdb, std::uint32_t datatype,
                                std::uint32_t first_lblock);

}  // namespace tsdb
