// The program run as a subprocess: standard output, standard error and the
// exit code of every way a user can end a run before anything is created.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/database/creation_tool/test_texts.h"
#include "server/database/support/test_util.h"

namespace {

using namespace creation_tool_test;
using testing_util::run_process;
using testing_util::TempDir;

const std::string kProgram = VEXMON_DBCREATE;
const std::string kInputEnded =
    "Unexpected end of input; nothing was created\n";

std::string default_summaries(const std::string& d) {
  return "\nWill create a meta database as follows:\n"
         "---------------------------------------------\n"
         "MDB path:     " + d + "/main.odb\n"
         "Journal type: External\n"
         "Journal path: " + d + "/main.odbj\n"
         "Journal size: 8 MiB\n"
         "\nWill create a time series database as follows:\n"
         "---------------------------------------------\n"
         "Number of chains: 3\n"
         "Block size:       8192\n"
         "Initial checks:   10\n"
         "TSDB placed in:   " + d + "/main.tsdb\n\n" + kConfirmPrompt;
}

bool is_empty_directory(const std::filesystem::path& path) {
  return std::filesystem::is_empty(path);
}

TEST(Program, UsageWithoutADestinationOrAfterHelp) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {}, {"-n"}, {"-c"}, {"-f"}, {"-d"}, {"-h", "-x"}, {"-help"}}) {
    const auto r = run_process(kProgram, args);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST(Program, UnknownArgumentEndsTheRunBeforeLaterOptions) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-x"}, {"-x", "-h"}}) {
    const auto r = run_process(kProgram, args);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.err, "Unknown or misplaced argument: \"-x\"\n");
    EXPECT_EQ(r.exit_code, 1);
  }
}

TEST(Program, UnusableDestinationStopsTheRunEvenWithInteractive) {
  TempDir dir;
  testing_util::write_file(dir.file("plain"), {0});
  const std::string missing = dir.file("missing");
  const std::string plain = dir.file("plain");

  auto r = run_process(kProgram, {"-d", missing});
  EXPECT_EQ(r.out, kBanner + kCannotStat);
  EXPECT_EQ(r.err, "Cannot stat path \"" + missing + "\"\n");
  EXPECT_EQ(r.exit_code, 1);

  r = run_process(kProgram, {"-i", "-d", plain}, "/tmp\n");
  EXPECT_EQ(r.out, kBanner + "Path not a directory or block device\n");
  EXPECT_EQ(r.err, "Cannot stat path \"" + plain + "\"\n");
  EXPECT_EQ(r.exit_code, 1);
}

TEST(Program, DeclinedDefaultRunUsesTheLastDestinationAndCreatesNothing) {
  TempDir first, second;
  const std::string d = first.path().string();
  const std::string e = second.path().string();
  const auto r = run_process(kProgram, {"-d", d, "-d" + e}, "n\n");
  EXPECT_EQ(r.out, kBanner + default_summaries(e));
  EXPECT_EQ(r.err, "placement path: \"" + d + "\"\n" +
                       "placement path: \"" + e + "\"\n" +
                       "ok - exising.\n\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(is_empty_directory(first.path()));
  EXPECT_TRUE(is_empty_directory(second.path()));
}

TEST(Program, EndOfInputAtTheConfirmationCreatesNothing) {
  TempDir dir;
  const std::string d = dir.path().string();
  const auto r = run_process(kProgram, {"-d", d});
  EXPECT_EQ(r.out, kBanner + default_summaries(d) + "\n");
  EXPECT_EQ(r.err, "placement path: \"" + d + "\"\n" + kInputEnded);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(is_empty_directory(dir.path()));
}

TEST(Program, ForceAnswersTheConfirmationWithoutReading) {
  TempDir dir;
  const std::string d = dir.path().string();
  // What the creation then does is not examined here, only that it starts
  // without reading the "n" on the input.
  const auto r = run_process(kProgram, {"-f", "-d", d}, "n\n");
  const std::string expected = kBanner + default_summaries(d) + "y\n";
  EXPECT_EQ(r.out.substr(0, expected.size()), expected);
  EXPECT_EQ(r.err.find("ok - exising."), std::string::npos);
}

TEST(Program, BlockDeviceIsRefusedForTheDefaultMode) {
  const auto device = find_block_device();
  if (!device) GTEST_SKIP() << "no block device";
  const auto r = run_process(kProgram, {"-d", *device});
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(r.err, "placement path: \"" + *device + "\"\n" +
                       "Cannot place both MDB and TSDB in a block special\n");
  EXPECT_EQ(r.exit_code, 1);
}

TEST(Program, InteractiveDropsTheDestinationAndRunsTheWholeDialogue) {
  if (std::filesystem::exists("xt")) GTEST_SKIP() << "./xt exists";
  TempDir given, answered;
  const std::string d = given.path().string();
  const std::string e = answered.path().string();
  // MDB block with an external journal ("ext" leaves "xt" as the journal
  // path), confirmed; TSDB block declined; the input ends in the repeat.
  const std::string input = e + "\next\n" + e + "\nseven\n16\ny\n" +
                            "3\n4096\n500\n" + e + "\nn\n";
  const auto r = run_process(kProgram, {"-i", "-d", d}, input);

  const std::string tsdb_block =
      kChainsIntro + kChainsPrompt + kBlockSizeIntro + kBlockSizePrompt +
      kChecksIntro + kChecksPrompt + kTsdbPathIntro + kTsdbPathPrompt +
      "\nWill create a time series database as follows:\n"
      "---------------------------------------------\n"
      "Number of chains: 3\n"
      "Block size:       4096\n"
      "Initial checks:   500\n"
      "TSDB placed in:   " + e + "/main.tsdb\n\n" + kConfirmPrompt;
  const std::string expected =
      kBanner + kMdbIntro + kMdbPathPrompt + kJournalTypeIntro +
      kJournalTypePrompt + kJournalPathIntro + kJournalPathPrompt +
      kCannotStat + kPathRefused + kJournalPathPrompt + kJournalSizeIntro +
      kJournalSizePrompt + kNotANumber + kJournalSizePrompt +
      "\nWill create a meta database as follows:\n"
      "---------------------------------------------\n"
      "MDB path:     " + e + "/main.odb\n"
      "Journal type: External\n"
      "Journal path: " + e + "/main.odbj\n"
      "Journal size: 16 MiB\n" + kConfirmPrompt + tsdb_block + kChainsIntro +
      kChainsPrompt + "\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "placement path: \"" + d + "\"\n" +
                       "You gave a destination path, but also asked to be \n"
                       "asked about everything...  I will ask you about "
                       "everything then.\n" + kInputEnded);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(is_empty_directory(given.path()));
  EXPECT_TRUE(is_empty_directory(answered.path()));
}

}  // namespace
