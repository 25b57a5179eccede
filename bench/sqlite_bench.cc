// The peer of mdb_bench for the object rates: SQLite with a write-ahead log
// and synchronous=NORMAL, one row per object (primary key = node id, an
// index on the parent id), the same payload, one transaction per row and
// 1000 rows per transaction, and lookups by primary key.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>

namespace {

class PeerDatabase {
 public:
  PeerDatabase() {
    char name[] = "/tmp/vexmon-peer-XXXXXX";
    dir_ = ::mkdtemp(name);
    sqlite3_open((dir_ / "peer.db").c_str(), &db_);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    exec(
        "CREATE TABLE objects (hi INTEGER, lo INTEGER, parent_hi INTEGER,"
        " parent_lo INTEGER, data BLOB, PRIMARY KEY (hi, lo))");
    exec("CREATE INDEX by_parent ON objects (parent_hi, parent_lo)");
    sqlite3_prepare_v2(db_, "INSERT INTO objects VALUES (1, ?, 0, ?, ?)", -1, &insert_, nullptr);
    sqlite3_prepare_v2(db_, "SELECT data FROM objects WHERE hi = 1 AND lo = ?", -1, &lookup_,
                       nullptr);
  }
  ~PeerDatabase() {
    sqlite3_finalize(insert_);
    sqlite3_finalize(lookup_);
    sqlite3_close(db_);
    std::filesystem::remove_all(dir_);
  }
  void exec(const char* sql) { sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
  void insert(std::uint32_t n) {
    const std::string data(200, 'd');
    sqlite3_bind_int64(insert_, 1, n);
    sqlite3_bind_int64(insert_, 2, 1 + n % 50);
    sqlite3_bind_blob(insert_, 3, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    sqlite3_step(insert_);
    sqlite3_reset(insert_);
  }
  bool lookup(std::uint32_t n) {
    sqlite3_bind_int64(lookup_, 1, n);
    const bool found = sqlite3_step(lookup_) == SQLITE_ROW;
    sqlite3_reset(lookup_);
    return found;
  }

 private:
  std::filesystem::path dir_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* lookup_ = nullptr;
};

void BM_CreateObjectOneTransactionEach(benchmark::State& state) {
  PeerDatabase db;
  std::uint32_t n = 0;
  for (auto _ : state) db.insert(n++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateObjectOneTransactionEach)
    ->Iterations(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_Create1000ObjectsPerTransaction(benchmark::State& state) {
  PeerDatabase db;
  std::uint32_t n = 0;
  for (auto _ : state) {
    db.exec("BEGIN");
    for (std::uint32_t end = n + 1000; n < end; ++n) db.insert(n);
    db.exec("COMMIT");
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_Create1000ObjectsPerTransaction)
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_LookupById(benchmark::State& state) {
  PeerDatabase db;
  constexpr std::uint32_t kObjects = 10000;
  db.exec("BEGIN");
  for (std::uint32_t n = 0; n < kObjects; ++n) db.insert(n);
  db.exec("COMMIT");
  std::mt19937 random(1);
  for (auto _ : state) {
    if (!db.lookup(static_cast<std::uint32_t>(random() % kObjects))) {
      state.SkipWithError("lost");
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupById)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
