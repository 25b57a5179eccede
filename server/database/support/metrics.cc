// Recording of timing samples and the conversion of durations into the
// unit of each timing.
#include "server/database/support/metrics.h"

#include <algorithm>

namespace meter {

void Timing::record(std::uint64_t v) {
  count += 1;
  total += v;
  sum_of_squares += v * v;
  minimum = std::min(minimum, v);
  maximum = std::max(maximum, v);
}

std::uint64_t MilliSecondTiming::to_unit(support::time_value d) {
  return std::uint64_t{d.seconds} * 1000 + (d.microseconds + 500) / 1000;
}

std::uint64_t MicroSecondTiming::to_unit(support::time_value d) {
  return std::uint64_t{d.seconds} * 1000000 + d.microseconds;
}

}  // namespace meter
