// Writes the seed corpora of the fuzz targets into <folder>/<target>/: small MDBs (1024-byte
// blocks, a 64 KiB journal inside the MDB or beside it) as created, after the creation tool's
// reopen, and with 80 more objects so that both indexes have two levels; and the chain blocks of
// new TSDBs with 2 to 5 chains. The checker's seeds are whole sets in its own input format (see
// checker_fuzz.cc): the small MDBs beside a small TSDB, and the sets vexmon-dbcreate makes by
// default and with a journal inside the MDB.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "server/database/creation_tool/initial_content.h"
#include "server/database/fuzz/fuzz_files.h"
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/mdb/session_workload_test_util.h"
#include "server/database/tsdb/creation.h"
#include "server/database/tsdb/tsdb_state.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

fs::path out;

Bytes read(const char* name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void save(const std::string& target, const std::string& name, const Bytes& input) {
  fs::create_directories(out / target);
  std::ofstream(out / target / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(input.data()),
             static_cast<std::streamsize>(input.size()));
}

void varint(std::uint64_t value, Bytes& out) {
  for (; value >= 0x80; value >>= 7) out.push_back(static_cast<std::uint8_t>(value | 0x80));
  out.push_back(static_cast<std::uint8_t>(value));
}

// Appends `bytes` to `input` with each run of zero bytes as a zero and the run's length less one:
// in one byte (runs of at most 256), as fuzz_files.h encodes them, or as a varint.
void encode(const Bytes& bytes, bool varint_lengths, Bytes& input) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    input.push_back(bytes[i]);
    if (bytes[i] != 0) continue;
    std::size_t last = i;
    while (last + 1 < bytes.size() && (varint_lengths || last - i < 255) && bytes[last + 1] == 0)
      ++last;
    if (varint_lengths) varint(last - i, input);
    if (!varint_lengths) input.push_back(static_cast<std::uint8_t>(last - i));
    i = last;
  }
}

// Saves the set in `dir` as a seed of the checker.
void save_checker(const std::string& dir, const std::string& name) {
  Bytes input;
  for (const char* file : {"main.odb", "main.odbj", "main.tsdb"}) {
    const Bytes bytes = read((dir + "/" + file).c_str());
    varint(bytes.size(), input);
    encode(bytes, true, input);
  }
  save("checker", name, input);
}

void save_mdb(const std::string& name) {
  Bytes files = read(fuzzing::kMdbFile), journal = read(fuzzing::kJournalFile);
  Bytes input{static_cast<std::uint8_t>(files.size() / 1024),
              static_cast<std::uint8_t>(journal.size() / 1024)};
  files.insert(files.end(), journal.begin(), journal.end());
  encode(files, false, input);
  for (const char* target : {"mdb_open", "mdb_lookup", "tool_reopen"}) save(target, name, input);
  save_checker(".", name);
}

// Makes a set in the directory `dir` with vexmon-dbcreate, given `options` and the dialogue's
// answers, and saves it under the directory's name.
void save_created_set(const fs::path& dir, const std::string& options, const std::string& answers) {
  fs::create_directory(dir);
  const std::string command =
      "printf '" + answers + "' | " VEXMON_DBCREATE " " + options + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) std::exit(1);
  save_checker(dir.string(), dir.filename().string());
}

void add_objects() {
  fuzzing::open_mdb();
  mdb::init_indexes();
  for (std::uint32_t i = 0; i < 80; ++i) {
    mdb::SerializationCache& cache = mdb::serialization_cache();
    cache.reset();
    cache.add(mdb::PropertyNodeId(0, {0, 8 + i}));
    cache.add(mdb::PropertyNodeId(2, {0, 1 + i % 2}));
    cache.add(mdb::PropertyString(51, "object " + std::to_string(i)));
    mdb::write_object({});
  }
  fuzzing::shut_mdb();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  out = fs::absolute(argv[1]);
  fuzzing::enter_work_dir();
  const std::string set = fs::absolute("default"), inside = fs::absolute("internal-journal");
  save_created_set(set, "-f -d " + set, "");
  save_created_set(inside, "-i", inside + "\\ni\\n4\\ny\\n2\\n1024\\n10\\n" + inside + "\\ny\\n");
  // The last, of 2 chains, stays as the small MDBs' TSDB in the checker's seeds.
  for (std::uint32_t chains = tsdb::kMaxChains; chains >= tsdb::kMinChains; --chains) {
    testing_util::make_zero_file("main.tsdb", 0);
    tsdb::TsdbState state;
    tsdb::tsdb_create(state, fs::absolute("main.tsdb").string(), chains, 1024, 1);
    Bytes image = read("main.tsdb"), input;
    image.resize((1 + 4 * chains) * 1024);  // the header and one block per replica
    encode(image, false, input);
    save("tsdb_header", "chains" + std::to_string(chains), input);
  }
  for (const std::string journal : {"external-", "internal-"}) {
    fs::remove(fuzzing::kJournalFile);
    mdb_testing::create_session_set(fuzzing::kMdbFile, fuzzing::kJournalFile,
                                    journal == "internal-", 64);
    save_mdb(journal + "created");
    creation_tool::write_initial_content(fuzzing::kMdbFile, true);
    save_mdb(journal + "initial");
    add_objects();
    save_mdb(journal + "grown");
  }
  return 0;
}
