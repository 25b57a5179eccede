// What a run has created, so that a run that fails or is interrupted can
// take it back and leave the places it was given as it found them.
//
// Invariants: only a file this run created with O_CREAT|O_EXCL is ever
// removed, and only while the name still leads to that file (same device
// and inode); a device is never removed, and only a device this run started
// to write has the start of what it wrote zeroed, where the headers lie.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace creation_tool {

// Records a file this run has just created.
// REQUIRES: `path` was created by this process with O_CREAT|O_EXCL.
void note_created_file(const std::string& path);

// Records that this run is about to write the first `bytes` of the device
// at `path`.
void note_device_written(const std::string& path, std::uint64_t bytes);

// Removes every recorded file and syncs the directories that held them,
// zeroes the start of every recorded device (at most its first mebibyte),
// says on `err` what it removed and zeroed, and forgets them. Failures of
// its own are reported on `err` and do not stop the rest.
void clean_up_created(std::ostream& err);

// Forgets what has been recorded without touching it (a run that
// succeeded, or --no-clean).
void forget_created();

}  // namespace creation_tool
