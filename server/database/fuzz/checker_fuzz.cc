// Fuzz target: the set checker on a damaged set of three files. The checker
// must report what it finds, never crash or hang, and never change a file:
// after each check the files are compared with what was written, and any
// change aborts.
//
// Input: main.odb, main.odbj and main.tsdb, one after the other, each as a
// varint (7 bits a byte, low first) giving its length, then its bytes, in
// which a zero byte followed by a varint n stands for n + 1 zero bytes. A
// file whose bytes run out is filled with zeros; a journal of length 0 is
// no file. Real sets are mostly zeros, so whole sets make small seeds.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "server/database/checker/mdb_check.h"
#include "server/database/checker/mdb_layout.h"
#include "server/database/checker/tsdb_check.h"
#include "server/database/fuzz/fuzz_files.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint64_t varint(std::span<const std::uint8_t>& in) {
  std::uint64_t value = 0;
  for (int shift = 0; !in.empty() && shift < 64; shift += 7) {
    const std::uint8_t byte = in.front();
    in = in.subspan(1);
    value |= std::uint64_t{byte & 0x7Fu} << shift;
    if ((byte & 0x80) == 0) break;
  }
  return value;
}

// Decodes the next file of the input and writes it to `name` (none when
// `name` is the journal and its length 0). Returns its bytes.
Bytes next_file(std::span<const std::uint8_t>& in, const char* name) {
  const std::uint64_t length = std::min<std::uint64_t>(varint(in), 32u << 20);
  Bytes bytes;
  while (bytes.size() < length && !in.empty()) {
    const std::uint8_t byte = in.front();
    in = in.subspan(1);
    if (byte != 0) bytes.push_back(byte);
    if (byte == 0) bytes.resize(bytes.size() + std::min(varint(in) + 1, length - bytes.size()));
  }
  bytes.resize(length);
  std::filesystem::remove(name);
  if (length > 0 || name != std::string(fuzzing::kJournalFile)) {
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(length));
  }
  return bytes;
}

bool unchanged(const char* name, const Bytes& bytes) {
  std::ifstream in(name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {}) == bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::enter_work_dir();
  std::span<const std::uint8_t> in(data, size);
  const Bytes mdb = next_file(in, fuzzing::kMdbFile),
              journal = next_file(in, fuzzing::kJournalFile), tsdb = next_file(in, "main.tsdb");
  checker::Report report;
  try {
    // The journal is named, so the header's path is never opened.
    checker::check_mdb({fuzzing::kMdbFile, fuzzing::kJournalFile, "."}, true, report);
  } catch (const checker::Unopenable&) {
  }
  try {
    checker::check_tsdb("main.tsdb", report);
  } catch (const checker::Unopenable&) {
  }
  const bool same = unchanged(fuzzing::kMdbFile, mdb) &&
                    unchanged(fuzzing::kJournalFile, journal) && unchanged("main.tsdb", tsdb);
  if (!same) std::abort();  // the check changed a file of the set
  return 0;
}
