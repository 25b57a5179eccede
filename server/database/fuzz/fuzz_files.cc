// Inputs, files and the MDB singleton of the fuzz targets. See fuzz_files.h.
#include "server/database/fuzz/fuzz_files.h"

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/engine_root.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/object_store.h"
#include "server/database/mdb/start_database.h"
#include "server/database/support/errors.h"

namespace fuzzing {

namespace fs = std::filesystem;

std::vector<std::uint8_t> expand(std::span<const std::uint8_t> input) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (input[i] != 0) {
      bytes.push_back(input[i]);
    } else {
      bytes.resize(bytes.size() + (i + 1 < input.size() ? input[++i] + 1u : 1u));
    }
  }
  return bytes;
}

void enter_work_dir() {
  static std::string dir;
  if (!dir.empty()) return;
  const fs::path base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
  dir = (base / "vexmon-fuzz-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) std::abort();
  fs::current_path(dir);
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  });
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit cap{64u << 20, 64u << 20};
  ::setrlimit(RLIMIT_FSIZE, &cap);
  mdb::diagnostic_mask().set(0);
}

bool write_mdb_files(std::span<const std::uint8_t> input) {
  enter_work_dir();
  if (input.size() < 2) return false;
  const std::size_t mdb_size = input[0] * 1024u, journal_size = input[1] * 1024u;
  std::vector<std::uint8_t> bytes = expand(input.subspan(2));
  bytes.resize(mdb_size + journal_size);
  if (mdb_size >= mdb::kHeaderSize) {
    mdb::HeaderImage image;
    std::copy_n(bytes.begin(), image.size(), image.begin());
    try {
      if (mdb::header_journal_type(image) == mdb::journal_external &&
          mdb::decode_header_image(image).journal_path != kJournalFile) {
        return false;
      }
    } catch (const error::Exception&) {
      // The open refuses this header before it maps a journal.
    }
  }
  const auto write = [&](const char* name, std::size_t from, std::size_t n) {
    std::ofstream(name, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data() + from), static_cast<std::streamsize>(n));
  };
  write(kMdbFile, 0, mdb_size);
  fs::remove(kJournalFile);
  if (journal_size != 0) write(kJournalFile, mdb_size, journal_size);
  return true;
}

void open_mdb() {
  mdb::open_store(kMdbFile);
  mdb::open_database();
  mdb::start_database();
}

void shut_mdb() { mdb::reset_engine(); }

}  // namespace fuzzing
