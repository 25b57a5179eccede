// The TSDB check: header, every descriptor's CRC and timestamp, which
// replica of each kind is current, every replica's chain blocks, the
// lblock and check entries of the current replicas, and the blocks all of
// these use against the file's size.
#pragma once

#include <string>

#include "server/database/checker/report.h"

namespace checker {

// Throws Unopenable when the file cannot be opened at all.
void check_tsdb(const std::string& path, Report& report);

}  // namespace checker
