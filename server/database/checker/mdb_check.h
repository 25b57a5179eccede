// The whole MDB check: header and layout, journal on disk, then a
// read-only open through the engine (replay into memory), the blocks
// against the allocation map, the objects and both index trees against
// each other.
#pragma once

#include <string>

#include "server/database/checker/report.h"

namespace checker {

struct MdbPaths {
  std::string mdb;
  std::string journal;  // empty: the path in the header
  // The set's directory when it was given as one: a main.odbj there is the
  // set's journal, and a header naming another is a problem. May be empty.
  std::string directory;
};

// Throws Unopenable when the MDB (or its external journal) cannot be
// opened at all, or another process holds the set.
void check_mdb(const MdbPaths& paths, bool dump, Report& report);

}  // namespace checker
