// Diagnostic lines on standard error, filtered by an engine's mask.
#include "server/database/support/diagnostics.h"

#include <iostream>

namespace support {

void DiagnosticMask::print(std::uint32_t bit, std::string_view line) const {
  if (!enabled(bit)) return;
  std::cerr << line << '\n';
  std::cerr.flush();
}

}  // namespace support
