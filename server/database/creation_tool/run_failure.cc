// See run_failure.h.
#include "server/database/creation_tool/run_failure.h"

#include <cstdint>
#include <iostream>

#include "server/database/support/errors.h"

namespace creation_tool {

std::string reason_line(int error_code) {
  return "  " + error::system_error_text(static_cast<std::uint32_t>(error_code)) + "\n";
}

void refuse(const std::string& line) {
  std::cerr << line << std::endl;
  throw run_failed{};
}

void refuse_with_reason(const std::string& line, int error_code) {
  std::cerr << line << '\n' << reason_line(error_code) << std::flush;
  throw run_failed{};
}

}  // namespace creation_tool
