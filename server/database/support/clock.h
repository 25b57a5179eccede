// Wall clock with microseconds and the difference of two readings.
#pragma once

#include <cstdint>

namespace support {

struct time_value {
  std::uint32_t seconds = 0;       // since 1970-01-01 00:00 UTC
  std::uint32_t microseconds = 0;  // 0 to 999,999
};

// The current time.
time_value now();

// later - earlier. REQUIRES: both are valid time values (microseconds below
// 1,000,000); otherwise prints "Assertion failed: Negative usec" and aborts.
time_value elapsed(time_value later, time_value earlier);

// Converts a count of 100-nanosecond intervals since 1601-01-01 UTC into a
// time value. Exposed for tests.
time_value from_filetime(std::uint64_t intervals);

}  // namespace support
