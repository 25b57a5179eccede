// Shared by the fuzz targets: the compact input encoding, the working directory of the engines'
// files and the shutdown that leaves the MDB singleton closed for the next input. Encoding: a zero
// byte followed by n stands for n + 1 zero bytes, any other byte for itself. An MDB input is two
// bytes, the sizes in KiB of main.odb and of its external journal main.odbj (0: none), then the
// encoded bytes of main.odb followed by those of main.odbj; bytes the input lacks are zero.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace fuzzing {

inline constexpr const char* kMdbFile = "main.odb";
inline constexpr const char* kJournalFile = "main.odbj";

std::vector<std::uint8_t> expand(std::span<const std::uint8_t> input);

// The first call moves into a fresh directory (on /dev/shm if there is one)
// removed at exit, caps the size of written files so that a damaged offset
// cannot fill the disk, and silences the MDB diagnostics.
void enter_work_dir();

// Writes main.odb and main.odbj from an MDB input. False, writing nothing, when the header names an
// external journal other than main.odbj, which the engine would open and write into.
bool write_mdb_files(std::span<const std::uint8_t> input);

// open_store, open_database and start_database on main.odb; and back:
// drops any open transaction, closes journal and store.
void open_mdb();
void shut_mdb();

}  // namespace fuzzing
