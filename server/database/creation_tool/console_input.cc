// Readers for the dialogue's answers. Words and characters come from the
// stream's own extraction, which skips leading white space; numbers are words
// checked with std::from_chars, so a sign, trailing letters or an overflow
// make the word "not a number" instead of wrapping around or leaving half a
// word in the input.
#include "server/database/creation_tool/console_input.h"

#include <charconv>
#include <limits>

namespace creation_tool {

void prompt(std::ostream& out, std::string_view text) { out << text << std::flush; }

std::string read_word(std::istream& in) {
  std::string word;
  if (!(in >> word)) throw input_ended{};
  return word;
}

char read_character(std::istream& in) {
  char c = 0;
  if (!(in >> c)) throw input_ended{};
  return c;
}

std::optional<std::uint32_t> read_number(std::istream& in) {
  const std::string word = read_word(in);
  std::uint32_t value = 0;
  const char* end = word.data() + word.size();
  const auto [stop, status] = std::from_chars(word.data(), end, value);
  if (status == std::errc() && stop == end) return value;
  in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  return std::nullopt;
}

}  // namespace creation_tool
