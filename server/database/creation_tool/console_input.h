// Reading the answers of the dialogue from a text stream.
//
// Every read consumes input or ends the dialogue: at the end of the input (or
// when the stream fails) the readers throw input_ended, so a dialogue fed from
// a finite input can never ask the same question forever.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace creation_tool {

// Thrown when the input ends before the dialogue has its answers. It is not
// an engine failure: the front end catches it before anything is created.
struct input_ended {};

// The one-line message the front end prints on standard error for
// input_ended.
inline constexpr const char* kInputEndedMessage = "Unexpected end of input; nothing was created";

// Writes `text` without a line end and flushes, so the question is visible
// before the program waits for the answer.
void prompt(std::ostream& out, std::string_view text);

// The next whitespace-delimited word.
std::string read_word(std::istream& in);

// The next character that is not white space; the rest of its line stays in
// the input.
char read_character(std::istream& in);

// The next whitespace-delimited word as a 32-bit unsigned decimal number.
// A word that is not one (a sign, any other character, or a value above
// 4294967295) yields nullopt and is discarded with the rest of its line.
std::optional<std::uint32_t> read_number(std::istream& in);

}  // namespace creation_tool
