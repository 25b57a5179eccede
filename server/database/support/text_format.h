// Decimal texts of numbers for messages: plain decimal, no grouping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace support {

// With two_digits the text is zero-padded to at least two digits.
std::string text_u32(std::uint32_t value, bool two_digits = false);
std::string text_i32(std::int32_t value, bool two_digits = false);
std::string text_u64(std::uint64_t value);
std::string text_size(std::size_t value);

// `text` between double-quote characters, as messages show file names and
// system error texts.
std::string quoted(std::string_view text);

}  // namespace support
