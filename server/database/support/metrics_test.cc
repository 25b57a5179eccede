#include <gtest/gtest.h>

#include "server/database/support/metrics_table.h"

namespace {

TEST(Timing, EmptyAndSampleStatistics) {
  meter::MicroSecondTiming t(nullptr, "t", "us", "test");
  EXPECT_EQ(t.minimum, ~std::uint64_t{0});
  EXPECT_EQ(t.maximum, 0u);
  t.record(3);
  t.record(5);
  EXPECT_EQ(t.count, 2u);
  EXPECT_EQ(t.minimum, 3u);
  EXPECT_EQ(t.maximum, 5u);
  EXPECT_EQ(t.total, 8u);
  EXPECT_EQ(t.sum_of_squares, 34u);
}

TEST(Timing, UnitRounding) {
  using meter::MilliSecondTiming;
  EXPECT_EQ(MilliSecondTiming::to_unit({0, 1500}), 2u);
  EXPECT_EQ(MilliSecondTiming::to_unit({0, 1499}), 1u);
  EXPECT_EQ(MilliSecondTiming::to_unit({1, 250}), 1000u);
  EXPECT_EQ(meter::MicroSecondTiming::to_unit({1, 250}), 1000250u);
}

int destroyed = 0;
std::uint64_t forty_two() { return 42; }

struct CountingBind : meter::Bind0<std::uint64_t> {
  using Bind0::Bind0;
  ~CountingBind() override { ++destroyed; }
  CountingBind* clone() const override { return new CountingBind(function); }
};

TEST(Gauge, OwnsOneCloneOfItsBinderAndTheCacheGaugeCountsKilobytes) {
  destroyed = 0;
  {
    meter::IntegerGaugeCallback gauge(nullptr, "g", "", "test",
                                      CountingBind(forty_two));
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
