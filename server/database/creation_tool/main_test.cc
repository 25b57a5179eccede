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
const std::string kInputEnded = "Unexpected end of input; nothing was created\n";

std::string default_summaries(const std::string& d) {
  return mdb_summary(d + "/main.odb", "External",
                     "Journal path: " + d +
                         "/main.odbj\n"
                         "Journal size: 8 MiB\n") +
         tsdb_summary("3", "8192", "10", d + "/main.tsdb") + kConfirmPrompt;
}

// Runs the program and checks standard output, standard error and the exit code, each on its own.
void expect_run(const std::vector<std::string>& args, const std::string& out,
                const std::string& err, int exit_code, const std::string& input = "") {
  const auto r = run_process(kProgram, args, input);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.exit_code, exit_code);
}

TEST(Program, UsageWithoutADestinationOrAfterHelpAndRefusedArgumentsFirst) {
  using Args = std::initializer_list<std::vector<std::string>>;
  for (const auto& args :
       Args{{}, {"-n"}, {"-c"}, {"-f"}, {"-d"}, {"-h", "-x"}, {"--help", "-x"}, {"-help"}}) {
    expect_run(args, kBanner, kUsage, 0);
  }
  for (const auto& args : Args{{"-x"}, {"-x", "-h"}, {"--overwrit", "-x"}}) {
    expect_run(args, kBanner, "Unknown or misplaced argument: \"" + args[0] + "\"\n", 1);
  }
  // A chosen password, with neither -n nor -c and in one way only.
  for (const auto& args : Args{{"--pwfile", "pw", "-n"}, {"-c", "--pwprompt"}}) {
    expect_run(args, kBanner, "A password for the 'admin' user cannot be given with -n or -c\n", 1);
  }
  expect_run({"--pwfile", "pw", "--pwprompt"}, kBanner,
             "Give either --pwfile or --pwprompt, not both\n", 1);
  expect_run({"-x", "--version"}, "vexmon-dbcreate " VEXMON_VERSION "\n", "", 0);
}

TEST(Program, UnusableDestinationStopsTheRunEvenWithInteractive) {
  TempDir dir;
  testing_util::write_file(dir.file("plain"), {0});
  const std::string missing = dir.file("missing");
  const std::string plain = dir.file("plain");

  expect_run({"-d", missing}, kBanner + kCannotStat,
             "Cannot stat path \"" + missing + "\"\n  No such file or directory\n", 1);
  expect_run({"-i", "-d", plain}, kBanner + "Path not a directory or block device\n",
             "Cannot stat path \"" + plain + "\"\n", 1, "/tmp\n");
}

TEST(Program, DeclinedOrUnansweredDefaultRunCreatesNothing) {
  TempDir first, second;
  const std::string d = first.path().string();
  const std::string e = second.path().string();
  expect_run(
      {"-d", d, "-d" + e}, kBanner + default_summaries(e),
      "placement path: \"" + d + "\"\n" + "placement path: \"" + e + "\"\n" + "ok - exising.\n\n",
      0, "n\n");
  // With no answer at all the run ends as failed.
  expect_run({"-d", d}, kBanner + default_summaries(d) + "\n",
             "placement path: \"" + d + "\"\n" + kInputEnded, 1);
  EXPECT_TRUE(std::filesystem::is_empty(first.path()));
  EXPECT_TRUE(std::filesystem::is_empty(second.path()));
}

TEST(Program, EveryBoundAndEveryDeclinedBlockWithTheWholeOutput) {
  TempDir dir;
  const std::string d = dir.path().string();
  const std::string missing = dir.file("missing");
  // The second TSDB block is declined too, and the input ends in the third.
  const std::string input = missing + "\n" + d + "\nx\nI\ni\n3\n129\n4\nn\n" +  // MDB, declined
                            d + "\ni\n128\nyes\n" +                             // MDB again
                            "1\n6\n2\n1000\n3000\n16385\n1024\n0\n7\n" + d + "\nno\n" +
                            "5\n16384\n1\n" + d + "\nN\n";
  const std::string mdb_file = d + "/main.odb";
  const std::string tsdb_file = d + "/main.tsdb";
  const std::string first_mdb =
      kMdbIntro + kMdbPathPrompt + kCannotStat + kPathRefused + kMdbPathPrompt + kJournalTypeIntro +
      kJournalTypePrompt + kJournalTypeRefused + kJournalTypePrompt + kJournalTypeRefused +
      kJournalTypePrompt + kJournalSizeIntro + kJournalSizePrompt + range_message(4, 128) +
      kJournalSizePrompt + range_message(4, 128) + kJournalSizePrompt +
      mdb_summary(mdb_file, "Internal", "Journal size: 4 MiB\n") + kConfirmPrompt;
  const std::string second_mdb = kMdbIntro + kMdbPathPrompt + kJournalTypeIntro +
                                 kJournalTypePrompt + kJournalSizeIntro + kJournalSizePrompt +
                                 mdb_summary(mdb_file, "Internal", "Journal size: 128 MiB\n") +
                                 kConfirmPrompt;
  const std::string first_tsdb =
      kChainsIntro + kChainsPrompt + range_message(2, 5) + kChainsPrompt + range_message(2, 5) +
      kChainsPrompt + kBlockSizeIntro + kBlockSizePrompt + range_message(1024, 16384) +
      kBlockSizePrompt + "Please enter a two-power\n" + kBlockSizePrompt +
      range_message(1024, 16384) + kBlockSizePrompt + kChecksIntro + kChecksPrompt + kChecksPrompt +
      kTsdbPathIntro + kTsdbPathPrompt + tsdb_summary("2", "1024", "7", tsdb_file) + kConfirmPrompt;
  const std::string second_tsdb = kChainsIntro + kChainsPrompt + kBlockSizeIntro +
                                  kBlockSizePrompt + kChecksIntro + kChecksPrompt + kTsdbPathIntro +
                                  kTsdbPathPrompt + tsdb_summary("5", "16384", "1", tsdb_file) +
                                  kConfirmPrompt;
  expect_run({"-i"},
             kBanner + first_mdb + second_mdb + first_tsdb + second_tsdb + kChainsIntro +
                 kChainsPrompt + "\n",
             kInputEnded, 1, input);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(Program, InteractiveDropsTheDestinationAndRunsTheWholeDialogue) {
  if (std::filesystem::exists("xt")) GTEST_SKIP() << "./xt exists";
  TempDir given, answered;
  const std::string d = given.path().string();
  const std::string e = answered.path().string();
  // MDB block with an external journal ("ext" leaves "xt" as the journal
  // path), confirmed; the input ends in the TSDB block.
  const std::string input = e + "\next\n" + e + "\nseven\n16\ny\n";
  const std::string expected =
      kBanner + kMdbIntro + kMdbPathPrompt + kJournalTypeIntro + kJournalTypePrompt +
      kJournalPathIntro + kJournalPathPrompt + kCannotStat + kPathRefused + kJournalPathPrompt +
      kJournalSizeIntro + kJournalSizePrompt + kNotANumber + kJournalSizePrompt +
      mdb_summary(e + "/main.odb", "External",
                  "Journal path: " + e + "/main.odbj\nJournal size: 16 MiB\n") +
      kConfirmPrompt + kChainsIntro + kChainsPrompt + "\n";
  expect_run({"-i", "-d", d}, expected,
             "placement path: \"" + d + "\"\n" +
                 "You gave a destination path, but also asked to be \n"
                 "asked about everything...  I will ask you about "
                 "everything then.\n" +
                 kInputEnded,
             1, input);
  EXPECT_TRUE(std::filesystem::is_empty(given.path()));
  EXPECT_TRUE(std::filesystem::is_empty(answered.path()));
}

}  // namespace
