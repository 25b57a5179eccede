// Creation of a new TSDB in an existing, empty file or device.
#pragma once

#include <cstdint>
#include <string>

#include "server/database/tsdb/format.h"

namespace tsdb {

class TsdbState;

// Turns the file at `path` into an empty TSDB with `chains` replicas per
// chain kind, blocks of `block_size` bytes, and one mebibyte of store per
// expected check, and leaves it open in tsdb_instance(). Prints one
// progress line per step on standard error and flushes the file to stable
// storage before returning. Fails with a tsdb exception; parameters out of
// range are refused with error_internal before anything is printed. On a
// block device the TSDB uses the device's first blocks and zeroes them; a
// device too small for them fails with error_dbnospace before any write.
// REQUIRES: the file exists (the caller creates it empty for a file in a
// directory); its path has a directory part.
void tsdb_create(const std::string& path, std::uint32_t chains, std::uint32_t block_size,
                 std::uint32_t initial_checks);

// The number of blocks a new TSDB starts with: floor(K * 2^20 / B), one
// mebibyte per expected check. Fails with error_internal, the same way
// tsdb_create does, when B or N is outside the format's ranges, K is 0, or
// the count does not fit 32 bits; callers use it to refuse settings before
// they write anything.
std::uint32_t initial_block_count(std::uint32_t chains, std::uint32_t block_size,
                                  std::uint32_t initial_checks);

// The largest number of expected checks whose initial blocks a TSDB of
// `block_size`-byte blocks can number (2^32 - 1 blocks at most).
std::uint32_t max_initial_checks(std::uint32_t block_size);

// Opens the existing file or device at `path` as tsdb_create would and
// refuses it the same way, with the same errors, without writing: settings
// out of range, a store that cannot be opened (a device held elsewhere),
// a device smaller than the initial blocks (error_dbnospace). Closes it
// again. Lets a caller check a device before it writes anything else.
void check_store(const std::string& path, std::uint32_t chains, std::uint32_t block_size,
                 std::uint32_t initial_checks);

// The same on a given state instead of the process-wide one.
void tsdb_create(TsdbState& tsdb, const std::string& path, std::uint32_t chains,
                 std::uint32_t block_size, std::uint32_t initial_checks);

// Creates the header image, writes it to block 0, marks block 0 in use and
// sets up `chains` empty replicas per kind. Fails with error_internal when
// the header exists already.
// REQUIRES: the store is open with block size block_size; the allocation
// state is initialised.
void tsdb_create_header(TsdbState& tsdb, std::uint32_t block_size, std::uint32_t chains);

// Gives replica `replica` of `kind` one element with room for
// `initial_checks` entries, writes it, and sets its descriptor in the header
// image (not written). Fails with error_dbnospace when no run is free.
// REQUIRES: the header exists; replica < chains.
void chain_create(TsdbState& tsdb, const ChainKind& kind, std::uint32_t replica,
                  std::uint32_t initial_checks);

}  // namespace tsdb
