// Decimal texts through std::to_chars, with printf-like zero padding.
#include "server/database/support/text_format.h"

#include <charconv>

namespace support {

namespace {

template <typename T>
std::string decimal(T value, bool two_digits) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  std::string text(buf, end);
  // Like printf's "%02u": the width of two counts the sign too.
  if (two_digits && text.size() < 2) text.insert(0, 2 - text.size(), '0');
  return text;
}

}  // namespace

std::string text_u32(std::uint32_t value, bool two_digits) { return decimal(value, two_digits); }

std::string text_i32(std::int32_t value, bool two_digits) { return decimal(value, two_digits); }

std::string text_u64(std::uint64_t value) { return decimal(value, false); }

std::string text_size(std::size_t value) { return decimal(value, false); }

std::string quoted(std::string_view text) { return '"' + std::string(text) + '"'; }

}  // namespace support
