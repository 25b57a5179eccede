// vexmon-dbcheck run as a subprocess on sets vexmon-dbcreate made in
// temporary directories: every kind of new set checks sound, each damaged
// copy gives its one problem line, and no check changes a byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/journal_format.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/open_set.h"
#include "server/database/mdb/property.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/mdb/session_workload_test_util.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/test_util.h"
#include "server/database/tsdb/format.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing_util::read_file;
using testing_util::run_process;
using testing_util::TempDir;
using testing_util::write_file;

constexpr std::uint32_t kBlock = 8192;

// Every file under `dir`, by path: its bytes and its modification time.
std::map<std::string, std::pair<Bytes, fs::file_time_type>> snapshot(const std::string& dir) {
  std::map<std::string, std::pair<Bytes, fs::file_time_type>> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    files[entry.path().string()] = {read_file(entry.path().string()), entry.last_write_time()};
  }
  return files;
}

// Runs the checker on `dir` and expects it to leave every byte as it was.
testing_util::ProcessResult check(const std::string& dir,
                                  const std::vector<std::string>& options = {}) {
  const auto before = snapshot(dir);
  std::vector<std::string> args = options;
  args.push_back(dir);
  const auto result = run_process(VEXMON_DBCHECK, args);
  EXPECT_TRUE(snapshot(dir) == before) << "the check changed or touched a file";
  return result;
}

struct SoundCase {
  std::string name;
  std::vector<std::string> args;  // "DIR" stands for the directory
  std::string dialogue;           // answers, with "DIR" for the directory
  std::vector<std::string> facts;
};

std::string with_dir(std::string text, const std::string& dir) {
  for (std::size_t at; (at = text.find("DIR")) != std::string::npos;) {
    text.replace(at, 3, dir);
  }
  return text;
}

TEST(Checker, EveryNewSetChecksSound) {
  // The facts as the JSON report gives them.
  const std::vector<SoundCase> cases = {
      {"default",
       {"-f", "-d", "DIR"},
       "",
       {R"("mdb.blocks": 385)", R"("journal.placement": "external")", R"("objects": 3)",
        R"("objects.user": 1)", R"("objects.domain": 1)", R"("index.node_id.entries": 3)",
        R"("index.parent_id.entries": 2)", R"("tsdb.blocks": 1280)", R"("tsdb.replicas": 3)",
        R"("tsdb.series": 1)", R"("tsdb.lblocks_used": 2)", R"("tsdb.blocks_in_use": 39)",
        R"({"id": 51, "type": "string", "value": "\"admin\""})"}},
      {"empty",
       {"-f", "-c", "-d", "DIR"},
       "",
       {R"("index.node_id": "not created")", R"("objects": 0)", R"("tsdb.series": 0)",
        R"("journal.transactions": 0)"}},
      {"no admin",
       {"-f", "-n", "-d", "DIR"},
       "",
       {R"("objects": 2)", R"(!"objects.user")", R"("tsdb.series": 0)",
        R"("index.parent_id.entries": 1)", R"("index.node_id.entries": 2)"}},
      {"internal journal, 2 chains",
       {"-i"},
       "DIR\ni\n4\ny\n2\n8192\n10\nDIR\ny\n",
       {R"("journal.placement": "internal")", R"("journal.bytes": 4194304)",
        R"("mdb.first_data_block": 769)", R"("tsdb.replicas": 2)", R"("objects": 3)"}},
      {"5 chains, 4096-byte blocks, the journal elsewhere",
       {"-i", "-n"},
       "DIR\ne\nDIR/elsewhere\n8\ny\n5\n4096\n10\nDIR\ny\n",
       {R"("tsdb.replicas": 5)", R"("tsdb.block_size": 4096)", R"("tsdb.blocks_in_use": 21)",
        R"("journal.path": "DIR/elsewhere/main.odbj")"}},
  };
  for (const SoundCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string d = dir.path().string();
    fs::create_directory(d + "/elsewhere");
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(with_dir(arg, d));
    const auto made = run_process(VEXMON_DBCREATE, args, with_dir(c.dialogue, d));
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const auto r = check(d);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with("\nsound\n")) << r.out;
    const auto json = check(d, {"--json", "--dump"});
    EXPECT_TRUE(json.out.starts_with("{\"sound\": true, \"facts\": {")) << json.out;
    // A fact with "!" in front must be absent.
    for (const std::string& fact : c.facts) {
      const bool absent = fact.starts_with("!");
      EXPECT_EQ(json.out.find(with_dir(fact.substr(absent ? 1 : 0), d)) == std::string::npos,
                absent)
          << fact << "\n"
          << json.out;
    }
    const auto quiet = check(d, {"-q"});
    EXPECT_EQ(quiet.exit_code, 0);
    EXPECT_EQ(quiet.out, "");
  }
}

std::uint8_t* block(Bytes& file, std::uint32_t n, std::uint32_t size = kBlock) {
  return file.data() + std::uint64_t{n} * size;
}

// The NodeId index's only leaf in a default set (its root is block 257).
std::uint8_t* node_id_leaf(Bytes& mdb) {
  return block(mdb, support::load_be32(block(mdb, 257) + 8));
}

struct Damage {
  std::string name, file;
  std::function<void(Bytes&)> change;
  std::string line;  // the problem line, or the start of it
};

// Appends to the current turn of a journal whose turn is empty a
// transaction that rewrites the MDB's magic unchanged, with a wrong CRC.
void add_transaction_with_bad_crc(Bytes& j) {
  const std::uint32_t p =
      support::load_be64(j.data() + 32) > support::load_be64(j.data() + 16) ? 32 : 16;
  std::uint8_t* tbeg = j.data() + support::load_be32(j.data() + p + 8);
  mdb::encode_tbeg(tbeg, support::load_be64(j.data() + p));
  mdb::encode_tupd(tbeg + mdb::kTbegSize, "VMDB", 4, 0);
  const std::uint32_t covered = mdb::kTbegSize + 24;
  mdb::encode_tend(tbeg + covered, mdb::transaction_crc(tbeg, covered) ^ 1);
}

// True when the checkpoint rule flips the journal at the next begin: less
// than a quarter of a half is free.
bool flip_due() {
  const mdb::JournalFile& j = mdb::database().journal;
  const std::uint32_t end = mdb::half_bounds(j.length(), j.cursor.half).usable_end;
  return std::uint64_t{end - j.cursor.write_position} * 4 < j.length() / 2;
}

// Opens the MDB as a server would, writes `count` objects 1.first+i, all children of the root
// domain 0.1, in transactions of 100 (with `to_flip`, more until the next begin flips the
// journal), then (with `lone_end`) a transaction that logs nothing, as a session that only reads
// ends, and closes it. Returns the number of objects written.
std::uint32_t add_objects(const std::string& mdb_file, std::uint32_t count, std::uint32_t first = 0,
                          bool lone_end = false, bool to_flip = false) {
  const std::uint32_t mask = mdb::diagnostic_mask().value();
  mdb::diagnostic_mask().set(0);
  mdb::open_set(mdb_file);
  std::uint32_t i = 0;
  while (i < count || (to_flip && !flip_due())) {
    mdb::begin_transaction();
    for (const std::uint32_t end = i + 100; i < end && (i < count || to_flip); ++i) {
      mdb::SerializationCache& cache = mdb::serialization_cache();
      cache.reset();
      cache.add(mdb::PropertyNodeId(0, {1, first + i}));
      cache.add(mdb::PropertyNodeId(2, {0, 1}));
      mdb::write_object(mdb::ObjectRef{0xFFFFFFFFu, 0xFFFFFFFFu});
    }
    mdb::end_transaction(false);
  }
  if (lone_end) {
    mdb::begin_transaction();
    mdb::end_transaction(true);
  }
  mdb::close_set();
  mdb::diagnostic_mask().set(mask);
  return i;
}

TEST(Checker, EachDamageGivesItsProblemLine) {
  TempDir made;
  const std::string original = made.file("set");
  fs::create_directory(original);
  ASSERT_EQ(run_process(VEXMON_DBCREATE, {"-f", "-d", original}).exit_code, 0);
  // Opened and closed once, as a server would: the replay brings the MDB file up to date and the
  // journal's new turn is empty, so a damaged block is not mended by a replay.
  add_objects(original + "/main.odb", 0);
  const std::vector<Damage> damages = {
      {"flipped descriptor CRC", "main.tsdb",
       [](Bytes& t) { t[tsdb::descriptor_offset(tsdb::kCheckChain, 2, 3) + 12] ^= 1; },
       "main.tsdb block 0 check replica 2 descriptor: CRC does not match"},
      {"stale replica stamped newer", "main.tsdb",
       [](Bytes& t) {
         std::uint8_t* d = t.data() + tsdb::descriptor_offset(tsdb::kLblockChain, 1, 3);
         tsdb::encode_descriptor(d, 2, tsdb::decode_descriptor(d).first_block);
       },
       "main.tsdb check replica 0 entry 0: names lblock 1, free in the "
       "current lblock replica 1"},
      {"broken leaf link", "main.odb",
       [](Bytes& m) { support::store_be32(node_id_leaf(m) + 8, 5); },
       "main.odb block 260 NodeId index leaf: right link 5, expected 0"},
      {"entry naming a missing object", "main.odb",
       [](Bytes& m) {
         std::uint8_t* data = node_id_leaf(m) + 16 + 12;
         support::store_be32(data, support::load_be32(data) + 8);
       },
       "main.odb block 259 NodeId index entry 0.1: names 259:"},
      {"object length past its block", "main.odb",
       [](Bytes& m) {
         const std::uint8_t* entry = node_id_leaf(m) + 16;
         support::store_be32(
             block(m, support::load_be32(entry + 8)) + support::load_be32(entry + 12), 9000);
       },
       "main.odb block 259 object block: object at offset "},
      {"map state contradicting its block", "main.odb", [](Bytes& m) { block(m, 1)[259] = 0; },
       "main.odb block 259 allocation map: state empty, but the block holds "
       "3 objects"},
      {"truncated TSDB", "main.tsdb", [](Bytes& t) { t.resize(8 * kBlock); },
       "main.tsdb allocation: the file holds 8 blocks, but its chains and "
       "series use blocks up to 38"},
      {"journal transaction with a bad CRC", "main.odbj", add_transaction_with_bad_crc,
       "main.odbj journal transaction at offset 4194304: CRC does not match; "
       "a replay stops here"},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    const std::string path = original + "/" + damage.file;
    const Bytes intact = read_file(path);
    Bytes bytes = intact;
    damage.change(bytes);
    write_file(path, bytes);
    const auto r = check(original);
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n1 problem\n")) << r.out;
    EXPECT_NE(r.out.find("\n" + damage.line), std::string::npos) << r.out;
    const auto json = check(original, {"--json"});
    EXPECT_TRUE(json.out.starts_with("{\"sound\": false,")) << json.out;
    write_file(path, intact);
  }
  // Named one by one, the copy's external journal is the header's (the
  // original's, which is sound) unless --journal names the damaged one.
  TempDir dir;
  const std::string d = dir.file("set");
  fs::copy(original, d);
  Bytes journal = read_file(d + "/main.odbj");
  add_transaction_with_bad_crc(journal);
  write_file(d + "/main.odbj", journal);
  const std::vector<std::string> files = {"--mdb", d + "/main.odb", "--tsdb", d + "/main.tsdb"};
  EXPECT_EQ(run_process(VEXMON_DBCHECK, files).exit_code, 0);
  std::vector<std::string> with_journal = files;
  with_journal.insert(with_journal.end(), {"--journal", d + "/main.odbj"});
  EXPECT_EQ(run_process(VEXMON_DBCHECK, with_journal).exit_code, 1);
}

// A new default set keeps its initial content in the journal's first turn, at offset 48. Damaged
// there, a replay finds the turn empty or ends it early and skips the rest.
TEST(Checker, TransactionsAReplaySkipsAreAProblem) {
  TempDir dir;
  ASSERT_EQ(run_process(VEXMON_DBCREATE, {"-f", "-d", dir.path().string()}).exit_code, 0);
  const std::vector<std::pair<std::size_t, std::string>> damages = {
      {48 + 15, "TBEG of serial 0, not the turn's 1"}, {48 + 16 + 20, "CRC does not match"}};
  const Bytes intact = read_file(dir.file("main.odbj"));
  for (const auto& [at, what] : damages) {
    Bytes j = intact;
    j[at] ^= 1;
    write_file(dir.file("main.odbj"), j);
    const auto r = check(dir.path().string());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\nmain.odbj journal transaction at offset 48: " + what +
                         "; a replay stops here and skips 8 CRC-valid transactions from offset "),
              std::string::npos)
        << r.out;
  }
}

// A copied or moved set whose header still names the original's journal: one problem line naming
// both journals and the mending command.
TEST(Checker, ACopyWhoseHeaderNamesAnotherJournal) {
  TempDir dir;
  const std::string original = dir.file("original"), copy = dir.file("copy");
  fs::create_directory(original);
  ASSERT_EQ(run_process(VEXMON_DBCREATE, {"-f", "-d", original}).exit_code, 0);
  fs::copy(original, copy);
  const std::string line = "\nmain.odb block 0 header: journal path " + original +
                           "/main.odbj is not " + copy +
                           "/main.odbj, the journal in the set's "
                           "directory; a server would open " +
                           original + "/main.odbj";
  const std::string mend = "; to mend: vexmon-dbadmin relocate " + copy + "\n1 problem\n";
  const auto copied = check(copy);
  EXPECT_EQ(copied.exit_code, 1);
  EXPECT_NE(copied.out.find(line + mend), std::string::npos) << copied.out;
  fs::remove_all(original);
  const auto moved = check(copy);
  EXPECT_EQ(moved.exit_code, 1);
  EXPECT_NE(moved.out.find(line + ", which does not exist" + mend), std::string::npos) << moved.out;
}

// A layout other than the creation tool's: 1024-byte blocks and an allocation map of one block.
TEST(Checker, EveryMapSizeTheFormatAllows) {
  TempDir dir;
  const std::string d = dir.path().string(), mdb_file = dir.file("small.odb");
  ASSERT_EQ(run_process(VEXMON_DBCREATE, {"-f", "-c", "-d", d}).exit_code, 0);
  mdb_testing::create_session_set(mdb_file, dir.file("small.odbj"), false, 512);
  add_objects(mdb_file, 30);
  const auto r = run_process(VEXMON_DBCHECK, {"--mdb", mdb_file, "--tsdb", d + "/main.tsdb"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find(" first_map_block=1 first_data_block=2 "), std::string::npos) << r.out;
}

// Trees of several leaves, the ParentId tree with one key throughout, check sound.
TEST(Checker, TreesOfManyLeaves) {
  TempDir dir;
  const std::string d = dir.path().string();
  ASSERT_EQ(run_process(VEXMON_DBCREATE, {"-f", "-n", "-d", d}).exit_code, 0);
  add_objects(d + "/main.odb", 1500);
  const auto r = check(d, {"--json"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find(R"("index.node_id.entries": 1502, "index.node_id.leaves": 5)"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(R"("objects": 1502)"), std::string::npos) << r.out;
}

// Sessions that write, read only or do nothing, some filling the journal's half so that their last
// (empty) transaction starts a new turn, in random order: the set checks sound after each. 6
// sessions with each kind of journal, 75 under VEXMON_LONG_TESTS=1.
TEST(Checker, SoundAfterAnySequenceOfSessions) {
  std::mt19937 random(14);
  for (const bool internal : {false, true}) {
    TempDir dir;
    const std::string d = dir.path().string();
    const auto made = internal ? run_process(VEXMON_DBCREATE, {"-i"},
                                             with_dir("DIR\ni\n4\ny\n2\n8192\n10\nDIR\ny\n", d))
                               : run_process(VEXMON_DBCREATE, {"-f", "-d", d});
    ASSERT_EQ(made.exit_code, 0);
    std::uint32_t objects = 0;
    const int sessions = std::getenv("VEXMON_LONG_TESTS") ? 75 : 6;
    for (int session = 0; session < sessions; ++session) {
      const std::uint32_t count = random() % 3 == 0 ? 0 : random() % 250;
      const bool lone_end = random() % 2 == 0, to_flip = random() % 4 == 0;
      objects += add_objects(d + "/main.odb", count, objects, lone_end, to_flip);
      const auto r = check(d);
      ASSERT_EQ(r.exit_code, 0) << "internal journal " << internal << ", session " << session
                                << ": " << count << " objects, lone end " << lone_end
                                << ", to flip " << to_flip << "\n"
                                << r.out;
    }
  }
}

// Levels crafted to run far past the end of the TSDB and over the chains and each other: the check
// stays quick, and repeated problems of one kind are cut short.
TEST(Checker, CraftedLevelsAreCheckedQuicklyInFewLines) {
  TempDir dir;
  const std::string d = dir.path().string();
  ASSERT_EQ(run_process(VEXMON_DBCREATE, {"-f", "-d", d}).exit_code, 0);
  Bytes t = read_file(d + "/main.tsdb");
  const std::uint32_t lblocks =
      tsdb::decode_descriptor(t.data() + tsdb::descriptor_offset(tsdb::kLblockChain, 0, 3))
          .first_block;
  for (std::uint32_t e = 2; e < 34; ++e) {
    support::store_be32(block(t, lblocks) + 16 + 16 * e, 1 + e);
    support::store_be32(block(t, lblocks) + 20 + 16 * e, 0xFFFFFFF0u);
  }
  write_file(d + "/main.tsdb", t);
  const auto start = std::chrono::steady_clock::now();
  const auto r = check(d);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_LT(std::count(r.out.begin(), r.out.end(), '\n'), 20) << r.out;
  // Entries 2 to 33 each overlap the blocks taken before them, which keep their first owner: 10
  // overlaps listed, the last naming 22 more.
  EXPECT_NE(
      r.out.find("entry 11 dblocks: block is used by check replica 2 too, and 1267 more of its "
                 "blocks are in use already (and 22 more like this)\nmain.tsdb allocation: "),
      std::string::npos)
      << r.out;
  EXPECT_TRUE(r.out.ends_with("\n33 problems\n")) << r.out;
}

TEST(Checker, UsageErrorsAndMissingFilesExitTwo) {
  TempDir dir;
  EXPECT_EQ(run_process(VEXMON_DBCHECK, {}).exit_code, 2);
  EXPECT_EQ(run_process(VEXMON_DBCHECK, {"--mdb", "x"}).exit_code, 2);
  EXPECT_EQ(run_process(VEXMON_DBCHECK, {"-x", dir.file("a")}).exit_code, 2);
  const std::string d = dir.path().string();
  EXPECT_EQ(run_process(VEXMON_DBCHECK, {"--mdb", d, "--tsdb", d}).exit_code, 2);
  const auto r = run_process(VEXMON_DBCHECK, {dir.file("none")});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
  // Long options are matched exactly.
  const auto version = run_process(VEXMON_DBCHECK, {"--version"});
  EXPECT_EQ(version.out + version.err, "vexmon-dbcheck " VEXMON_VERSION "\n");
  EXPECT_EQ(version.exit_code, 0);
  for (const std::string option : {"--versio", "--version=1", "--jsonx", "--help2"}) {
    EXPECT_EQ(run_process(VEXMON_DBCHECK, {option, d}).exit_code, 2) << option;
  }
  // A set that another process holds is not checked: the engine's line, exit status 2.
  ASSERT_EQ(run_process(VEXMON_DBCREATE, {"-f", "-c", "-d", d}).exit_code, 0);
  const int fd = ::open((d + "/main.odb").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const auto held = run_process(VEXMON_DBCHECK, {d});
  ::close(fd);
  EXPECT_EQ(held.exit_code, 2);
  EXPECT_NE(held.err.find(" is in use by another process\n"), std::string::npos) << held.err;
  // A report that cannot be written is a failed check, and says so.
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const auto full =
      run_process("/bin/sh", {"-c", std::string(VEXMON_DBCHECK) + " " + d + " >/dev/full"});
  EXPECT_EQ(full.exit_code, 2);
  EXPECT_EQ(full.err, "vexmon-dbcheck: cannot write the report: No space left on device\n");
}

}  // namespace
