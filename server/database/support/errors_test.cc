#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "server/database/support/errors.h"

namespace {

TEST(Exceptions, TextIsDescriptionThenMessageAndFamiliesCatchTheirOwn) {
  try {
    mdb::error_fubar e("MDB file does not look like a Vexmon Meta Database");
    e.message = " (extra)";
    throw e;
  } catch (const mdb::error_consistency& e) {
    EXPECT_EQ(e.text(),
              "MDB file does not look like a Vexmon Meta Database (extra)");
  }
  // A TSDB error is not caught by an MDB handler.
  bool caught_as_tsdb = false;
  try {
    try {
      throw tsdb::error_dbnospace("x");
    } catch (const mdb::error_generic&) {
      FAIL();
    }
  } catch (const tsdb::error_generic&) {
    caught_as_tsdb = true;
  }
  EXPECT_TRUE(caught_as_tsdb);
}

TEST(SystemErrorText, KnownUnknownAndTrimmed) {
  EXPECT_EQ(error::system_error_text(ENOENT), std::strerror(ENOENT));
  EXPECT_STREQ(error::system_error_text_buffer(EACCES), std::strerror(EACCES));
  EXPECT_EQ(error::system_error_text(99999),
            "99999 (FormatMessage: " + std::to_string(EINVAL) + ")");
  EXPECT_EQ(error::finish_system_error_text(5, "Access denied.\r\n", 0),
            "Access denied.");
  EXPECT_EQ(error::finish_system_error_text(5, "\r\n\n", 0), "5");
  EXPECT_EQ(error::finish_system_error_text(7, nullptr, 317),
            "7 (FormatMessage: 317)");
}

}  // namespace
