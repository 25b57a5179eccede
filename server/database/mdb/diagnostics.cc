// The meta database's diagnostic mask and its one printing helper.
#include "server/database/mdb/diagnostics.h"

namespace mdb {

support::DiagnosticMask& diagnostic_mask() {
  static support::DiagnosticMask mask;
  return mask;
}

void diagnostic(std::uint32_t bit, std::string_view line) { diagnostic_mask().print(bit, line); }

}  // namespace mdb
