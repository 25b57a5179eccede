// The creation sequence end to end: the tool runs as a subprocess in a
// temporary directory and the files it leaves are checked byte by byte.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "server/database/support/big_endian.h"
#include "server/database/support/hash.h"
#include "server/database/support/test_util.h"

namespace {

using testing_util::read_file;
using testing_util::read_range;
using testing_util::run_process;
using testing_util::TempDir;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kMdbBlock = 8192;

std::uint32_t be32(const Bytes& b, std::size_t offset) {
  return support::load_be32(b.data() + offset);
}

std::string text_at(const Bytes& b, std::size_t offset, std::size_t n) {
  return std::string(b.begin() + offset, b.begin() + offset + n);
}

std::uint64_t file_size(const std::string& path) {
  return std::filesystem::file_size(path);
}

bool all_zero(const Bytes& b, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

// Checks a fresh journal header at `offset` of `bytes`: magic, version and
// two valid index pointers with serial 0 and start 0.
void expect_fresh_journal_header(const Bytes& bytes, std::size_t offset) {
  EXPECT_EQ(text_at(bytes, offset, 4), "JHDR");
  EXPECT_EQ(be32(bytes, offset + 4), 1u);
  EXPECT_EQ(be32(bytes, offset + 8), 0u);
  const std::uint8_t zeros[12] = {};
  for (std::size_t pointer : {offset + 16, offset + 32}) {
    EXPECT_TRUE(all_zero(bytes, pointer, pointer + 12));
    EXPECT_EQ(be32(bytes, pointer + 12), security::crc32_of(zeros, 12));
  }
}

struct Replica {
  std::uint32_t first;
  std::uint32_t blocks;
};

// Checks the TSDB header and the replica blocks of `path`, reading only
// those blocks. `replicas[k][i]` is where replica i of kind k (head, tail,
// lblock, check) should lie; the header's creation time must lie within
// [`created_from`, `created_to`].
void expect_tsdb(const std::string& path, std::uint32_t block_size,
                 std::uint32_t chains,
                 const std::vector<std::vector<Replica>>& replicas,
                 std::time_t created_from, std::time_t created_to) {
  static const char* kMagic[4] = {"HEAD", "TAIL", "LBAL", "CHCK"};
  const Bytes header = read_range(path, 0, block_size);
  ASSERT_EQ(header.size(), block_size);
  EXPECT_EQ(text_at(header, 0, 4), "TSDB");
  EXPECT_EQ(be32(header, 4), 1u);
  EXPECT_EQ(be32(header, 8), block_size);
  EXPECT_EQ(be32(header, 12), 0u);
  EXPECT_GE(be32(header, 16), static_cast<std::uint32_t>(created_from));
  EXPECT_LE(be32(header, 16), static_cast<std::uint32_t>(created_to));
  EXPECT_EQ(be32(header, 20), chains);
  for (std::uint32_t k = 0; k < 4; ++k) {
    for (std::uint32_t i = 0; i < chains; ++i) {
      const std::size_t d = 24 + 16 * (k * chains + i);
      const Replica r = replicas[k][i];
      EXPECT_TRUE(all_zero(header, d, d + 8)) << "timestamp of " << k << "/" << i;
      EXPECT_EQ(be32(header, d + 8), r.first) << kMagic[k] << " " << i;
      EXPECT_EQ(be32(header, d + 12), security::crc32_of(header.data() + d, 12));
      const Bytes blocks = read_range(path, std::uint64_t{r.first} * block_size,
                                      std::size_t{r.blocks} * block_size);
      ASSERT_EQ(blocks.size(), std::size_t{r.blocks} * block_size);
      for (std::uint32_t n = 0; n < r.blocks; ++n) {
        const std::size_t at = std::size_t{n} * block_size;
        EXPECT_EQ(text_at(blocks, at, 4), kMagic[k]);
        EXPECT_EQ(be32(blocks, at + 4), n + 1 < r.blocks ? r.first + n + 1 : 0);
        EXPECT_EQ(be32(blocks, at + 8), i);
        EXPECT_EQ(be32(blocks, at + 12), n);
        EXPECT_TRUE(all_zero(blocks, at + 16, at + block_size));
      }
    }
  }
  EXPECT_TRUE(all_zero(header, 24 + 16 * 4 * chains, block_size));
}

// The replicas of a new TSDB whose every replica has `sizes[k]` blocks:
// they are created interleaved (head 0, tail 0, lblock 0, check 0, head 1,
// ...) from block 1 on.
std::vector<std::vector<Replica>> interleaved(std::uint32_t chains,
                                              const std::uint32_t sizes[4]) {
  std::vector<std::vector<Replica>> r(4, std::vector<Replica>(chains));
  std::uint32_t next = 1;
  for (std::uint32_t i = 0; i < chains; ++i) {
    for (int k = 0; k < 4; ++k) {
      r[k][i] = {next, sizes[k]};
      next += sizes[k];
    }
  }
  return r;
}

std::string tsdb_progress(std::uint32_t chains) {
  std::string text =
      "Initializing I/O layer...ok.\nInitializing database...ok.\n"
      "Writing header...ok.\n";
  for (std::uint32_t i = 0; i < chains; ++i) {
    for (const char* kind : {"head", "tail", "lblock", "check"}) {
      text += std::string("Creating ") + kind + " chain #" + std::to_string(i) +
              "...ok.\n";
    }
  }
  return text;
}

TEST(CreationSequence, DefaultCompletelyEmptyRun) {
  TempDir dir;
  const std::string d = dir.path().string();
  const std::time_t from = std::time(nullptr);
  const auto r = run_process(VEXMON_DBCREATE, {"-f", "-c", "-d", d});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "placement path: \"" + d + "\"\n" +
                       "Journal: [0 : 8388608)\n" + tsdb_progress(3) +
                       "Journal in sync. Ready for shutdown.\n");

  const std::string journal_path = d + "/main.odbj";
  EXPECT_EQ(file_size(dir.file("main.odb")), 385 * kMdbBlock);
  EXPECT_EQ(file_size(journal_path), 1024 * kMdbBlock);
  EXPECT_EQ(file_size(dir.file("main.tsdb")), 1280u * 8192);

  // MDB header: "VMDB", 1, 8192, external (2), L, path, 2, 257, 258,
  // (reserved), 1, 257; everything else zero.
  const Bytes mdb = read_file(dir.file("main.odb"));
  EXPECT_EQ(text_at(mdb, 0, 4), "VMDB");
  EXPECT_EQ(be32(mdb, 4), 1u);
  EXPECT_EQ(be32(mdb, 8), 8192u);
  EXPECT_EQ(be32(mdb, 12), 2u);
  const std::uint32_t padded = (journal_path.size() + 7) / 8 * 8;
  EXPECT_EQ(be32(mdb, 16), padded);
  EXPECT_EQ(text_at(mdb, 20, journal_path.size()), journal_path);
  EXPECT_TRUE(all_zero(mdb, 20 + journal_path.size(), 20 + padded));
  const std::size_t a = 20 + padded;
  EXPECT_EQ(be32(mdb, a), 2u);
  EXPECT_EQ(be32(mdb, a + 4), 257u);
  EXPECT_EQ(be32(mdb, a + 8), 258u);
  EXPECT_EQ(be32(mdb, a + 12), 0u);
  EXPECT_EQ(be32(mdb, a + 16), 1u);
  EXPECT_EQ(be32(mdb, a + 20), 257u);
  EXPECT_TRUE(all_zero(mdb, a + 24, mdb.size()));

  const Bytes journal = read_file(journal_path);
  expect_fresh_journal_header(journal, 0);
  EXPECT_TRUE(all_zero(journal, 48, journal.size()));

  const std::uint32_t one_block[4] = {1, 1, 1, 1};
  expect_tsdb(dir.file("main.tsdb"), 8192, 3, interleaved(3, one_block), from,
              std::time(nullptr));
  const Bytes tsdb = read_file(dir.file("main.tsdb"));
  EXPECT_TRUE(all_zero(tsdb, 13 * 8192, tsdb.size()));
}

// Runs the dialogue with the given MDB and TSDB answers into `d` with -c.
testing_util::ProcessResult run_dialogue(const std::string& mdb_answers,
                                         const std::string& tsdb_answers) {
  return run_process(VEXMON_DBCREATE, {"-i", "-c"},
                     mdb_answers + "y\n" + tsdb_answers + "y\n");
}

TEST(CreationSequence, InternalJournalAndChainCounts) {
  {
    TempDir dir;
    const std::string d = dir.path().string();
    const std::time_t from = std::time(nullptr);
    const auto r = run_dialogue(d + "\ni\n4\n", "2\n8192\n10\n" + d + "\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "Journal: [8192 : 4202496)\n" + tsdb_progress(2) +
                         "Journal in sync. Ready for shutdown.\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("main.odbj")));
    EXPECT_EQ(file_size(dir.file("main.odb")), 897 * kMdbBlock);
    // "VMDB", 1, 8192, internal (1), start 1, 512 blocks, 2, 769, 770,
    // (reserved), 513, 769.
    const Bytes mdb = read_file(dir.file("main.odb"));
    const std::uint32_t expected[] = {1, 8192, 1, 1, 512, 2, 769, 770, 0, 513, 769};
    EXPECT_EQ(text_at(mdb, 0, 4), "VMDB");
    for (std::size_t i = 0; i < std::size(expected); ++i) {
      EXPECT_EQ(be32(mdb, 4 + 4 * i), expected[i]) << "word " << i + 1;
    }
    EXPECT_TRUE(all_zero(mdb, 48, kMdbBlock));
    expect_fresh_journal_header(mdb, kMdbBlock);
    EXPECT_TRUE(all_zero(mdb, kMdbBlock + 48, mdb.size()));
    const std::uint32_t one_block[4] = {1, 1, 1, 1};
    expect_tsdb(dir.file("main.tsdb"), 8192, 2, interleaved(2, one_block), from,
                std::time(nullptr));
  }
  {
    TempDir dir;
    const std::string d = dir.path().string();
    const std::time_t from = std::time(nullptr);
    const auto r =
        run_dialogue(d + "\ne\n" + d + "\n8\n", "5\n4096\n10\n" + d + "\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(file_size(dir.file("main.odbj")), 1024 * kMdbBlock);
    // K = 10 at B = 4096: 2560 blocks, one block per replica.
    EXPECT_EQ(file_size(dir.file("main.tsdb")), 2560u * 4096);
    const std::uint32_t one_block[4] = {1, 1, 1, 1};
    expect_tsdb(dir.file("main.tsdb"), 4096, 5, interleaved(5, one_block), from,
                std::time(nullptr));
  }
}

TEST(CreationSequence, SmallBlocksManyChecksGiveMultiBlockReplicas) {
  TempDir dir;
  const std::string d = dir.path().string();
  const std::time_t from = std::time(nullptr);
  const auto r = run_dialogue(d + "\ni\n4\n", "3\n1024\n1000\n" + d + "\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // One MiB per check: 1,024,000 blocks of 1024 bytes.
  EXPECT_EQ(file_size(dir.file("main.tsdb")), 1024000ull * 1024);
  // 252 head/tail pointers, 63 lblock entries and 126 check entries a block.
  const std::uint32_t sizes[4] = {4, 4, 16, 8};
  expect_tsdb(dir.file("main.tsdb"), 1024, 3, interleaved(3, sizes), from,
              std::time(nullptr));
}

TEST(CreationSequence, ExistingFilesAreNeverOverwritten) {
  TempDir dir;
  const std::string d = dir.path().string();
  ASSERT_EQ(run_process(VEXMON_DBCREATE, {"-f", "-c", "-d", d}).exit_code, 0);
  const Bytes mdb = read_file(dir.file("main.odb"));
  const Bytes journal = read_file(dir.file("main.odbj"));
  const Bytes tsdb = read_file(dir.file("main.tsdb"));

  const auto again = run_process(VEXMON_DBCREATE, {"-f", "-c", "-d", d});
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_EQ(again.err, "placement path: \"" + d + "\"\n" +
                           "Unable to create file \"" + d + "/main.odb\"\n");
  EXPECT_EQ(read_file(dir.file("main.odb")), mdb);
  EXPECT_EQ(read_file(dir.file("main.odbj")), journal);
  EXPECT_EQ(read_file(dir.file("main.tsdb")), tsdb);
}

}  // namespace
