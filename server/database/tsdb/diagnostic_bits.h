// The bits of the TSDB diagnostic mask that the engine prints under.
#pragma once

#include <cstdint>

namespace tsdb {

inline constexpr std::uint32_t kTraceBit = 1;     // traces; off by default
inline constexpr std::uint32_t kInfoBit = 2;      // growth and phase shifts
inline constexpr std::uint32_t kShortageBit = 4;  // less space than wanted

}  // namespace tsdb
