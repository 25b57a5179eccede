#include <gtest/gtest.h>

#include <ctime>

#include "server/database/support/clock.h"
#include "server/database/support/text_format.h"

namespace {

using support::elapsed;
using support::time_value;

TEST(Elapsed, BorrowsASecondForNegativeMicroseconds) {
  const time_value d = elapsed({10, 200}, {9, 900000});
  EXPECT_EQ(d.seconds, 0u);
  EXPECT_EQ(d.microseconds, 100200u);  // 10.000200 - 9.900000
  const time_value zero = elapsed({5, 7}, {5, 7});
  EXPECT_EQ(zero.seconds + zero.microseconds, 0u);
}

TEST(ElapsedDeathTest, InvalidMicrosecondsAbort) {
  EXPECT_DEATH(elapsed({10, 0}, {9, 2000000}), "Assertion failed: Negative usec");
}

TEST(Clock, FiletimeConversionAndNow) {
  // 1970-01-01 plus 1.5 seconds and 7 microseconds.
  const time_value t = support::from_filetime(116444736000000000ULL + 15000070);
  EXPECT_EQ(t.seconds, 1u);
  EXPECT_EQ(t.microseconds, 500007u);
  const time_value n = support::now();
  EXPECT_LT(n.microseconds, 1000000u);
  const auto wall = static_cast<std::uint32_t>(std::time(nullptr));
  EXPECT_LE(n.seconds, wall);
  EXPECT_GE(n.seconds + 2, wall);
}

TEST(TextFormat, PaddingAndSigns) {
  EXPECT_EQ(support::text_u32(7, true), "07");
  EXPECT_EQ(support::text_u32(123, true), "123");
  EXPECT_EQ(support::text_i32(-5, true), "-5");
  EXPECT_EQ(support::text_i32(5, true), "05");
  EXPECT_EQ(support::text_u64(18446744073709551615ULL), "18446744073709551615");
}

}  // namespace
