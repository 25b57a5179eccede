// How the front end's own failures end a run. The message is printed where
// the failure is found; then `run_failed` unwinds to the program entry, which
// cleans up what the run created and exits with code 1.
#pragma once

#include <string>

namespace creation_tool {

// Thrown after a front-end failure has been reported.
struct run_failed {};

// Prints `line` on standard error and throws run_failed.
[[noreturn]] void refuse(const std::string& line);

// Prints `line` and, on the line after it, indented by two spaces, the
// system's text for `error_code` (an errno value), then throws run_failed.
[[noreturn]] void refuse_with_reason(const std::string& line, int error_code);

// The system's reason for `error_code` as refuse_with_reason prints it,
// with its line end.
std::string reason_line(int error_code);

}  // namespace creation_tool
