// The creation sequence end to end: the tool runs as a subprocess in a
// temporary directory and the files it leaves are checked byte by byte.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
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

// Expects the big-endian `words` from `offset` on.
void expect_words(const Bytes& b, std::size_t offset, std::initializer_list<std::uint32_t> words) {
  for (const std::uint32_t w : words) {
    EXPECT_EQ(be32(b, offset), w) << "at " << offset;
    offset += 4;
  }
}

std::string text_at(const Bytes& b, std::size_t offset, std::size_t n) {
  return std::string(b.begin() + offset, b.begin() + offset + n);
}

using std::filesystem::file_size;

bool all_zero(const Bytes& b, std::size_t from, std::size_t to) {
  return std::all_of(b.begin() + from, b.begin() + to, [](std::uint8_t x) { return x == 0; });
}

// Checks a fresh journal header at `offset` of `bytes`: magic, version and
// two valid index pointers with serial 0 and start 0.
void expect_fresh_journal_header(const Bytes& bytes, std::size_t offset) {
  EXPECT_EQ(text_at(bytes, offset, 4), "JHDR");
  expect_words(bytes, offset + 4, {1, 0});
  const std::uint8_t zeros[12] = {};
  for (std::size_t pointer : {offset + 16, offset + 32}) {
    EXPECT_TRUE(all_zero(bytes, pointer, pointer + 12));
    EXPECT_EQ(be32(bytes, pointer + 12), security::crc32_of(zeros, 12));
  }
}

struct Replica {
  std::uint32_t first, blocks;
};

// Checks the TSDB header and the replica blocks of `path`, reading only those blocks.
// `replicas[k][i]` is where replica i of kind k (head, tail, lblock, check) should lie; the
// header's creation time must lie between `created_from` and now.
void expect_tsdb(const std::string& path, std::uint32_t block_size, std::uint32_t chains,
                 const std::vector<std::vector<Replica>>& replicas, std::time_t created_from) {
  const std::time_t created_to = std::time(nullptr);
  static const char* kMagic[4] = {"HEAD", "TAIL", "LBAL", "CHCK"};
  const Bytes header = read_range(path, 0, block_size);
  ASSERT_EQ(header.size(), block_size);
  EXPECT_EQ(text_at(header, 0, 4), "TSDB");
  expect_words(header, 4, {1, block_size, 0});
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
      const Bytes blocks =
          read_range(path, std::uint64_t{r.first} * block_size, std::size_t{r.blocks} * block_size);
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

// The replicas of a new TSDB whose every replica has `sizes[k]` blocks: they are created
// interleaved (head 0, tail 0, lblock 0, check 0, head 1, ...) from block 1 on.
std::vector<std::vector<Replica>> interleaved(std::uint32_t chains,
                                              std::array<std::uint32_t, 4> sizes = {1, 1, 1, 1}) {
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
      text += std::string("Creating ") + kind + " chain #" + std::to_string(i) + "...ok.\n";
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
  EXPECT_EQ(r.err, "placement path: \"" + d + "\"\n" + "Journal: [0 : 8388608)\n" +
                       tsdb_progress(3) + "Journal in sync. Ready for shutdown.\n");

  const std::string journal_path = d + "/main.odbj";
  EXPECT_EQ(file_size(dir.file("main.odb")), 385 * kMdbBlock);
  EXPECT_EQ(file_size(journal_path), 1024 * kMdbBlock);
  EXPECT_EQ(file_size(dir.file("main.tsdb")), 1280u * 8192);

  // MDB header: "VMDB", 1, 8192, external (2), L, path, 2, 257, 258,
  // (reserved), 1, 257; everything else zero.
  const Bytes mdb = read_file(dir.file("main.odb"));
  EXPECT_EQ(text_at(mdb, 0, 4), "VMDB");
  const std::uint32_t padded = (journal_path.size() + 7) / 8 * 8;
  expect_words(mdb, 4, {1, 8192, 2, padded});
  EXPECT_EQ(text_at(mdb, 20, journal_path.size()), journal_path);
  EXPECT_TRUE(all_zero(mdb, 20 + journal_path.size(), 20 + padded));
  const std::size_t a = 20 + padded;
  expect_words(mdb, a, {2, 257, 258, 0, 1, 257});
  EXPECT_TRUE(all_zero(mdb, a + 24, mdb.size()));

  const Bytes journal = read_file(journal_path);
  expect_fresh_journal_header(journal, 0);
  EXPECT_TRUE(all_zero(journal, 48, journal.size()));

  expect_tsdb(dir.file("main.tsdb"), 8192, 3, interleaved(3), from);
  const Bytes tsdb = read_file(dir.file("main.tsdb"));
  EXPECT_TRUE(all_zero(tsdb, 13 * 8192, tsdb.size()));
}

// Runs the dialogue with -c on the given MDB and TSDB answers, confirming each block.
testing_util::ProcessResult run_dialogue(const std::string& mdb_answers,
                                         const std::string& tsdb_answers) {
  return run_process(VEXMON_DBCREATE, {"-i", "-c"}, mdb_answers + "y\n" + tsdb_answers + "y\n");
}

// Internal journals, other chain counts and block sizes; many checks on small blocks give replicas
// of several blocks (252 head/tail pointers, 63 lblock entries and 126 check entries a 1024-byte
// block). One MiB per check: K = 10 at B = 4096 is 2560 blocks, K = 1000 at B = 1024 1,024,000.
TEST(CreationSequence, InternalJournalsChainCountsBlockSizesAndMultiBlockReplicas) {
  const struct {
    std::string journal, tsdb;
    std::uint32_t chains, block_size;
    std::uint64_t tsdb_blocks;
    std::array<std::uint32_t, 4> sizes;
  } cases[] = {{"i\n4\n", "2\n8192\n10\n", 2, 8192, 1280, {1, 1, 1, 1}},
               {"e\nDIR\n8\n", "5\n4096\n10\n", 5, 4096, 2560, {1, 1, 1, 1}},
               {"i\n4\n", "3\n1024\n1000\n", 3, 1024, 1024000, {4, 4, 16, 8}}};
  for (const auto& c : cases) {
    TempDir dir;
    const std::string d = dir.path().string();
    const std::time_t from = std::time(nullptr);
    std::string journal = c.journal;
    if (const auto at = journal.find("DIR"); at != std::string::npos) journal.replace(at, 3, d);
    const auto r = run_dialogue(d + "\n" + journal, c.tsdb + d + "\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(file_size(dir.file("main.tsdb")), c.tsdb_blocks * c.block_size);
    if (journal[0] == 'e') {
      EXPECT_EQ(file_size(dir.file("main.odbj")), 1024 * kMdbBlock);
    } else {
      EXPECT_EQ(r.err, "Journal: [8192 : 4202496)\n" + tsdb_progress(c.chains) +
                           "Journal in sync. Ready for shutdown.\n");
      EXPECT_FALSE(std::filesystem::exists(dir.file("main.odbj")));
      EXPECT_EQ(file_size(dir.file("main.odb")), 897 * kMdbBlock);
      // "VMDB", 1, 8192, internal (1), start 1, 512 blocks, 2, 769, 770, (reserved), 513, 769.
      const Bytes mdb = read_file(dir.file("main.odb"));
      EXPECT_EQ(text_at(mdb, 0, 4), "VMDB");
      expect_words(mdb, 4, {1, 8192, 1, 1, 512, 2, 769, 770, 0, 513, 769});
      EXPECT_TRUE(all_zero(mdb, 48, kMdbBlock));
      expect_fresh_journal_header(mdb, kMdbBlock);
      EXPECT_TRUE(all_zero(mdb, kMdbBlock + 48, mdb.size()));
    }
    expect_tsdb(dir.file("main.tsdb"), c.block_size, c.chains, interleaved(c.chains, c.sizes),
                from);
  }
}

}  // namespace
