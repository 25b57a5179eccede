// The dialogue driven in-process from a string: words that are not numbers, too many checks, the
// end of the input, the summary of an external device journal and the confirmation; and the label
// the top-level handler prints for each family of errors. Whole dialogues are compared by running
// the program.
#include "server/database/creation_tool/dialogue.h"

#include <gtest/gtest.h>

#include <sstream>

#include "server/database/creation_tool/console_input.h"
#include "server/database/creation_tool/test_texts.h"
#include "server/database/creation_tool/top_level_handler.h"
#include "server/database/support/errors.h"
#include "server/database/support/test_util.h"

namespace creation_tool {
namespace {

using namespace creation_tool_test;

TEST(Dialogue, WordsThatAreNotNumbersAreDroppedWithTheRestOfTheirLine) {
  testing_util::TempDir dir;
  const std::string d = dir.path().string();
  // "3 8": 3 is out of range and 8, left on the line, answers the next ask.
  std::istringstream in(d + "\ni\nabc 5\n-1\n4294967296\n12abc\n3 8\n");
  std::ostringstream out;
  creation_settings settings;
  ask_mdb_settings(settings, in, out);

  const std::string after_size_intro =
      out.str().substr(out.str().rfind(kJournalSizeIntro) + kJournalSizeIntro.size());
  EXPECT_EQ(after_size_intro, kJournalSizePrompt + kNotANumber + kJournalSizePrompt + kNotANumber +
                                  kJournalSizePrompt + kNotANumber + kJournalSizePrompt +
                                  kNotANumber + kJournalSizePrompt + range_message(4, 128) +
                                  kJournalSizePrompt);
  EXPECT_EQ(settings.journal_size, 8388608u);
}

TEST(Dialogue, TooManyChecksAreRefusedAtTheQuestion) {
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {
      {1024, 4194303}, {8192, 33554431}, {16384, 67108863}};
  for (const auto& [block_size, largest] : cases) {
    creation_settings settings;
    std::stringstream in;
    in << "3 " << block_size << ' ' << largest + 1 << ' ' << largest << " /\n";
    std::ostringstream out;
    ask_tsdb_settings(settings, in, out);
    EXPECT_NE(out.str().find(range_message(1, largest) + kChecksPrompt), std::string::npos);
    EXPECT_EQ(settings.tsdb_initial_checks, largest);
  }
}

TEST(Dialogue, EndOfInputEndsEveryKindOfQuestion) {
  testing_util::TempDir dir;
  const std::string d = dir.path().string();
  for (const std::string& text : {std::string(""), d + "\n", d + "\ni\n", d + "\ni\nabc def\n",
                                  d + "\nx\n", d + "\ne\n", d + "\ni\n200\n"}) {
    std::istringstream in(text);
    std::ostringstream out;
    creation_settings settings;
    EXPECT_THROW(ask_mdb_settings(settings, in, out), input_ended) << text;
  }
  std::istringstream in("2\n");
  std::ostringstream out;
  creation_settings settings;
  EXPECT_THROW(ask_tsdb_settings(settings, in, out), input_ended);
  std::istringstream empty("");
  EXPECT_THROW(confirm_settings(settings, empty, out), input_ended);
}

TEST(Summary, JournalSizeLineIsLeftOutOnlyForAnExternalDevice) {
  creation_settings settings;
  settings.mdb_path = "/dev/sdb";
  settings.mdb_placement = placement_blockdev;
  settings.journal_type = kJournalExternal;
  settings.journal_path = "/dev/sdc";
  settings.journal_placement = placement_blockdev;
  settings.journal_size = 8388608;
  std::ostringstream out;
  print_mdb_summary(settings, out);
  EXPECT_EQ(out.str(), mdb_summary("/dev/sdb", "External", "Journal path: /dev/sdc\n"));
}

TEST(Confirm, ForceAnswersByItselfAndOnlyLowerCaseYesCounts) {
  creation_settings settings;
  settings.force = true;
  std::istringstream untouched("n\n");
  std::ostringstream forced;
  EXPECT_TRUE(confirm_settings(settings, untouched, forced));
  EXPECT_EQ(forced.str(), kConfirmPrompt + "y\n");
  EXPECT_EQ(read_word(untouched), "n");

  settings.force = false;
  std::istringstream answers("y yes Y YES yess no n");
  std::ostringstream out;
  std::vector<bool> results;
  for (int i = 0; i < 7; ++i) {
    results.push_back(confirm_settings(settings, answers, out));
  }
  EXPECT_EQ(results, (std::vector<bool>{true, true, false, false, false, false, false}));
}

template <typename Failure>
std::string report_of(const char* description) {
  std::ostringstream err;
  EXPECT_EQ(run_guarded(err, [&]() -> int { throw Failure(description); }), 1);
  return err.str();
}

TEST(TopLevelHandler, DerivedClassesMeetTheFirstMatchingEntry) {
  EXPECT_EQ(report_of<tsdb::error_read>("read failed"), "\nTSDB I/O error: read failed\n");
  EXPECT_EQ(report_of<mdb::error_open>("open failed"), "\nMDB I/O error: open failed\n");
  EXPECT_EQ(report_of<tsdb::error_dbnospace>("full"), "\nTSDB Error: full\n");
  EXPECT_EQ(report_of<mdb::error_need_repair>("broken"), "\nMDB Error: broken\n");
}

}  // namespace
}  // namespace creation_tool
