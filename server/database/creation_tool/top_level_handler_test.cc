// Which label the top-level handler prints for a class of each family.
#include "server/database/creation_tool/top_level_handler.h"

#include <gtest/gtest.h>

#include <sstream>

#include "server/database/support/errors.h"

namespace creation_tool {
namespace {

template <typename Failure>
std::string report_of(const char* description) {
  std::ostringstream err;
  const int code =
      run_guarded(err, [&]() -> int { throw Failure(description); });
  EXPECT_EQ(code, 1);
  return err.str();
}

TEST(TopLevelHandler, DerivedClassesMeetTheFirstMatchingEntry) {
  EXPECT_EQ(report_of<tsdb::error_read>("read failed"),
            "\nTSDB I/O error: read failed\n");
  EXPECT_EQ(report_of<mdb::error_open>("open failed"),
            "\nMDB I/O error: open failed\n");
  EXPECT_EQ(report_of<tsdb::error_dbnospace>("full"), "\nTSDB Error: full\n");
  EXPECT_EQ(report_of<mdb::error_need_repair>("broken"),
            "\nMDB Error: broken\n");
}

}  // namespace
}  // namespace creation_tool
