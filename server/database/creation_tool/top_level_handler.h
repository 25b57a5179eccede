// The handler that guards the whole run against the two engine exception
// families.
#pragma once

#include <functional>
#include <ostream>

namespace creation_tool {

// Runs `run` and returns its exit code. An exception of the tsdb or mdb
// family is reported on `err` as one line after an empty line and yields
// exit code 1; run_failed (already reported) yields 1; an interruption is
// reported in the same way and yields 128 + the signal's number. Other
// exceptions pass through.
int run_guarded(std::ostream& err, const std::function<int()>& run);

}  // namespace creation_tool
