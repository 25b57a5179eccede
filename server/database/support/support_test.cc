// The support library: error texts, CRC-32 and MD5, the clock, number texts and the metrics.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <type_traits>

#include "server/database/support/clock.h"
#include "server/database/support/errors.h"
#include "server/database/support/hash.h"
#include "server/database/support/metrics_table.h"
#include "server/database/support/text_format.h"

namespace {

using support::time_value;

TEST(Exceptions, TextIsDescriptionThenMessageAndFamiliesCatchTheirOwn) {
  mdb::error_fubar e("MDB file does not look like a Vexmon Meta Database");
  e.message = " (extra)";
  EXPECT_EQ(e.text(), "MDB file does not look like a Vexmon Meta Database (extra)");
  // Handlers catch by family: a TSDB error is not caught by an MDB handler.
  static_assert(std::is_base_of_v<mdb::error_consistency, mdb::error_fubar>);
  static_assert(std::is_base_of_v<tsdb::error_generic, tsdb::error_dbnospace>);
  static_assert(!std::is_base_of_v<mdb::error_generic, tsdb::error_dbnospace>);
}

TEST(Exceptions, SystemErrorTextsKnownUnknownAndTrimmed) {
  EXPECT_EQ(error::system_error_text(ENOENT), std::strerror(ENOENT));
  EXPECT_STREQ(error::system_error_text_buffer(EACCES), std::strerror(EACCES));
  EXPECT_EQ(error::system_error_text(99999),
            "99999 (FormatMessage: " + std::to_string(EINVAL) + ")");
  EXPECT_EQ(error::finish_system_error_text(5, "Access denied.\r\n", 0), "Access denied.");
  EXPECT_EQ(error::finish_system_error_text(5, "\r\n\n", 0), "5");
  EXPECT_EQ(error::finish_system_error_text(7, nullptr, 317), "7 (FormatMessage: 317)");
}

TEST(Hashes, Crc32CheckValueAndMd5TestSuite) {
  security::Crc32 crc;
  EXPECT_EQ(crc.value(), 0u);  // no bytes
  crc.update(9, "123456789");
  EXPECT_EQ(crc.value(), 0xCBF43926u);
  std::array<std::uint8_t, 4> out;
  crc.final(out.data());
  EXPECT_EQ(out, (std::array<std::uint8_t, 4>{0xCB, 0xF4, 0x39, 0x26}));
  // Byte by byte, after a reset, gives the same value.
  crc.reset();
  for (char c : std::string("123456789")) crc.update_byte(std::uint8_t(c));
  EXPECT_EQ(crc.value(), 0xCBF43926u);
  EXPECT_EQ(security::crc32_of("123456789", 9), 0xCBF43926u);

  const struct {
    const char* input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890"
       "1234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(security::md5_hex(c.input), c.digest) << '"' << c.input << '"';
  }
  // 56 to 64 bytes of input force the padding into a second block; pieces
  // of 7 bytes cross every block boundary.
  for (std::size_t n = 50; n < 140; ++n) {
    const std::string text(n, 'x');
    security::Md5 md5;
    for (std::size_t i = 0; i < n; i += 7) {
      md5.update(std::min<std::size_t>(7, n - i), text.data() + i);
    }
    std::uint8_t digest[16], expected[16];
    md5.final(digest);
    security::Md5 whole;
    whole.update(n, text.data());
    whole.final(expected);
    EXPECT_EQ(std::memcmp(digest, expected, 16), 0) << n;
  }
}

TEST(Clock, ElapsedFiletimeAndNow) {
  const time_value d = support::elapsed({10, 200}, {9, 900000});
  EXPECT_EQ(d.seconds, 0u);
  EXPECT_EQ(d.microseconds, 100200u);  // 10.000200 - 9.900000
  // 1970-01-01 plus 1.5 seconds and 7 microseconds.
  const time_value t = support::from_filetime(116444736000000000ULL + 15000070);
  EXPECT_EQ(t.seconds, 1u);
  EXPECT_EQ(t.microseconds, 500007u);
  const time_value n = support::now();
  EXPECT_LT(n.microseconds, 1000000u);
  const auto wall = static_cast<std::uint32_t>(std::time(nullptr));
  EXPECT_LE(n.seconds, wall);
  EXPECT_GE(n.seconds + 2, wall);
  EXPECT_DEATH(support::elapsed({10, 0}, {9, 2000000}), "Assertion failed: Negative usec");
}

TEST(TextFormat, PaddingAndSigns) {
  EXPECT_EQ(support::text_u32(7, true), "07");
  EXPECT_EQ(support::text_u32(123, true), "123");
  EXPECT_EQ(support::text_i32(-5, true), "-5");
  EXPECT_EQ(support::text_i32(5, true), "05");
  EXPECT_EQ(support::text_u64(18446744073709551615ULL), "18446744073709551615");
}

TEST(Metrics, TimingStatisticsAndUnits) {
  meter::MicroSecondTiming t(nullptr, "t", "us", "test");
  EXPECT_EQ(t.minimum, ~std::uint64_t{0});
  t.record(3);
  t.record(5);
  EXPECT_EQ(t.count, 2u);
  EXPECT_EQ(t.minimum, 3u);
  EXPECT_EQ(t.maximum, 5u);
  EXPECT_EQ(t.total, 8u);
  EXPECT_EQ(t.sum_of_squares, 34u);
  EXPECT_EQ(meter::MilliSecondTiming::to_unit({0, 1500}), 2u);
  EXPECT_EQ(meter::MilliSecondTiming::to_unit({0, 1499}), 1u);
  EXPECT_EQ(meter::MilliSecondTiming::to_unit({1, 250}), 1000u);
  EXPECT_EQ(meter::MicroSecondTiming::to_unit({1, 250}), 1000250u);
}

int destroyed = 0;
std::uint64_t forty_two() { return 42; }

struct CountingBind : meter::Bind0<std::uint64_t> {
  using Bind0::Bind0;
  ~CountingBind() override { ++destroyed; }
  CountingBind* clone() const override { return new CountingBind(function); }
};

TEST(Metrics, GaugeOwnsOneCloneOfItsBinderAndTheCacheGaugeCountsKilobytes) {
  {
    meter::IntegerGaugeCallback gauge(nullptr, "g", "", "test", CountingBind(forty_two));
    EXPECT_EQ(destroyed, 1);  // the temporary
    EXPECT_EQ(gauge.read(), 42u);
  }
  EXPECT_EQ(destroyed, 2);  // the clone, exactly once

  const std::uint64_t saved = meter::buffercache_block_count;
  meter::buffercache_block_count = 8;
  EXPECT_EQ(meter::buffercache_size.read(), 64u);
  meter::buffercache_block_count = saved;
}

}  // namespace
