// Pre-creation of database files before the engines open them.
//
// Both routines end the run (run_failed, after a message on standard error
// and the system's reason) when they fail, and stop between two pieces of
// zeros when the run is interrupted. They record what they create or start
// to write for the clean-up (cleanup.h). Neither ever overwrites a file
// that exists: precreate_file creates the file new, prepare_store only opens
// an existing block-special store.
#pragma once

#include <cstdint>
#include <string>

namespace creation_tool {

// Creates `path` as a new file of `size` zero bytes and flushes the
// directory that holds it, so that the new name survives a power cut.
// REQUIRES: nothing exists at `path` (otherwise "Unable to create file").
void precreate_file(const std::string& path, std::uint64_t size);

// Opens the existing store at `path` (a block device) and overwrites its
// first `size` bytes with zeros.
void prepare_store(const std::string& path, std::uint64_t size);

}  // namespace creation_tool
