// Benchmarks of the MDB engine on real files in a temporary directory:
// object creation with one transaction per object and with 1000 objects
// per transaction (NodeId and ParentId indexes kept), lookups by node id,
// reopening after a run that left a long journal turn and after one that
// left an empty turn, and the allocation-map scan at open.
//
// Each database is made by the creation tool (run with -c, a dialogue that
// asks for the journal size) and then opened as a server opens it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/index_operations.h"
#include "server/database/mdb/object_store.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/property.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/mdb/start_database.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/diagnostics.h"

namespace {

namespace fs = std::filesystem;
constexpr mdb::ObjectRef kNewObject{0xFFFFFFFFu, 0xFFFFFFFFu};

// A default database set, completely empty, with a journal of
// `journal_mib` MiB, made by the creation tool in a fresh directory that
// goes with the object.
class BenchDatabase {
 public:
  explicit BenchDatabase(std::uint32_t journal_mib) {
    char name[] = "/tmp/vexmon-bench-XXXXXX";
    dir_ = ::mkdtemp(name);
    const std::string d = dir_.string();
    const std::string answers = d + "\\ne\\n" + d + "\\n" + std::to_string(journal_mib) +
                                "\\ny\\n3\\n8192\\n10\\n" + d + "\\ny\\n";
    const std::string command =
        "printf '" + answers + "' | " VEXMON_DBCREATE + std::string(" -i -f -c >/dev/null 2>&1");
    if (std::system(command.c_str()) != 0) throw std::runtime_error("creation failed");
    mdb::diagnostic_mask().set(0);
  }
  ~BenchDatabase() {
    if (mdb::header_loaded()) close();
    mdb::diagnostic_mask().set(support::kDefaultDiagnosticMask);
    fs::remove_all(dir_);
  }

  void open() {
    mdb::open_store(path("main.odb"));
    mdb::open_database();
    mdb::start_database();
    mdb::init_indexes();
  }
  void close() {
    mdb::close_database_journal();
    mdb::sync_store();
    mdb::close_store();
  }
  std::string path(const char* name) const { return (dir_ / name).string(); }

 private:
  fs::path dir_;
};

// Assembles an object of about 200 bytes, much like a user account.
void assemble(std::uint32_t n) {
  mdb::SerializationCache& cache = mdb::serialization_cache();
  cache.reset();
  cache.add(mdb::PropertyNodeId(0, mdb::NodeId{1, n}));
  cache.add(mdb::PropertyNodeId(2, mdb::NodeId{0, 1 + n % 50}));
  cache.add(mdb::PropertySomething32<unsigned int, 1>(1, n));
  cache.add(mdb::PropertyString(51, "object " + std::to_string(n)));
  cache.add(mdb::PropertyString(900, std::string(120, 'd')));
}

void create_objects(std::uint32_t from, std::uint32_t count) {
  for (std::uint32_t n = from; n < from + count; ++n) {
    assemble(n);
    mdb::write_object(kNewObject);
  }
}

void BM_CreateObjectOneTransactionEach(benchmark::State& state) {
  BenchDatabase db(128);
  db.open();
  std::uint32_t n = 0;
  for (auto _ : state) create_objects(n++, 1);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateObjectOneTransactionEach)
    ->Iterations(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_Create1000ObjectsPerTransaction(benchmark::State& state) {
  BenchDatabase db(128);
  db.open();
  std::uint32_t n = 0;
  for (auto _ : state) {
    mdb::begin_transaction();
    create_objects(n, 1000);
    mdb::end_transaction(true);
    n += 1000;
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_Create1000ObjectsPerTransaction)
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_LookupById(benchmark::State& state) {
  BenchDatabase db(128);
  db.open();
  constexpr std::uint32_t kObjects = 10000;
  create_objects(0, kObjects);
  std::mt19937 random(1);
  for (auto _ : state) {
    const mdb::NodeId id{1, static_cast<std::uint32_t>(random() % kObjects)};
    mdb::IndexCursor cursor = mdb::nonuniq_search(mdb::kNodeIdIndex, id);
    if (cursor.at_end() || cursor.entry_key() != id) state.SkipWithError("lost");
    benchmark::DoNotOptimize(cursor.entry_data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupById)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A run that ends without closing leaves its turn in the journal, as a
// crash would; every reopen starts from copies of those files.
void BM_ReopenAfterLongTurn(benchmark::State& state) {
  BenchDatabase db(128);
  db.open();
  mdb::begin_transaction();
  create_objects(0, 2800);  // about 48 MB of journal
  mdb::end_transaction(false);
  const std::uint64_t turn = mdb::database().journal.cursor.write_position;
  mdb::database().transaction = {};
  mdb::close_journal();
  mdb::close_store();
  const std::string mdb_file = db.path("main.odb");
  const std::string journal = db.path("main.odbj");
  fs::copy_file(mdb_file, mdb_file + ".saved");
  fs::copy_file(journal, journal + ".saved");
  // The peer: reading the turn's bytes and writing them to a new file,
  // synced, as a plain copy would.
  const auto start = std::chrono::steady_clock::now();
  std::vector<char> bytes(turn);
  std::ifstream(journal, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(turn));
  {
    std::ofstream(db.path("copy"), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(turn));
  }
  const int copy = ::open(db.path("copy").c_str(), O_RDONLY);
  ::fsync(copy);
  ::close(copy);
  state.counters["raw_copy_ms"] =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  state.counters["turn_mb"] = static_cast<double>(turn) / 1e6;
  for (auto _ : state) {
    state.PauseTiming();
    fs::copy_file(mdb_file + ".saved", mdb_file, fs::copy_options::overwrite_existing);
    fs::copy_file(journal + ".saved", journal, fs::copy_options::overwrite_existing);
    state.ResumeTiming();
    db.open();
    state.PauseTiming();
    db.close();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ReopenAfterLongTurn)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ReopenWithEmptyTurn(benchmark::State& state) {
  BenchDatabase db(128);
  for (auto _ : state) {
    db.open();
    state.PauseTiming();
    db.close();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ReopenWithEmptyTurn)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_AllocationMapScan(benchmark::State& state) {
  BenchDatabase db(8);
  db.open();
  const mdb::Database& database = mdb::database();
  const std::uint32_t first_map_block = mdb::header_first_map_block(*database.header);
  for (auto _ : state) {
    mdb::init_map(first_map_block, database.first_data_block - first_map_block);
  }
}
BENCHMARK(BM_AllocationMapScan)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
