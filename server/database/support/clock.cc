// The wall clock read as seconds and microseconds since 1970, and the
// difference of two readings with its borrow.
#include "server/database/support/clock.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace support {

namespace {
// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kEpochOffset = 116444736000000000ULL;
}  // namespace

time_value from_filetime(std::uint64_t intervals) {
  const std::uint64_t since_1970 = intervals - kEpochOffset;
  return {static_cast<std::uint32_t>(since_1970 / 10000000),
          static_cast<std::uint32_t>((since_1970 % 10000000) / 10)};
}

time_value now() {
  timespec ts{};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) {
    std::fputs("(TIME) Error getting system time \n", stderr);
    std::fputs("(TIME) This may cause inaccurate measurements \n", stderr);
  }
  const std::uint64_t intervals = static_cast<std::uint64_t>(ts.tv_sec) * 10000000 +
                                  static_cast<std::uint64_t>(ts.tv_nsec) / 100 + kEpochOffset;
  return from_filetime(intervals);
}

time_value elapsed(time_value later, time_value earlier) {
  std::int64_t seconds = std::int64_t{later.seconds} - earlier.seconds;
  std::int64_t micros = std::int64_t{later.microseconds} - earlier.microseconds;
  if (micros < 0) {
    seconds -= 1;
    micros += 1000000;
  }
  if (micros < 0) {
    std::fputs("Assertion failed: Negative usec\n", stderr);
    std::abort();
  }
  return {static_cast<std::uint32_t>(seconds), static_cast<std::uint32_t>(micros)};
}

}  // namespace support
