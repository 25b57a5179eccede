// The top-level handler. The catch order matters: the I/O classes derive
// from the generic ones of their family, so they are caught first, and the
// TSDB family comes before the MDB family. The clean-up after a failure is
// the caller's (cleanup.h), after the failure has been reported.
#include "server/database/creation_tool/top_level_handler.h"

#include <cstring>

#include "server/database/creation_tool/run_failure.h"
#include "server/database/support/errors.h"
#include "server/database/support/interruption.h"

namespace creation_tool {
namespace {

int report(std::ostream& err, const char* label, const error::Exception& e) {
  err << '\n' << label << e.text() << std::endl;
  return 1;
}

}  // namespace

int run_guarded(std::ostream& err, const std::function<int()>& run) {
  try {
    return run();
  } catch (const tsdb::error_io& e) {
    return report(err, "TSDB I/O error: ", e);
  } catch (const mdb::error_io& e) {
    return report(err, "MDB I/O error: ", e);
  } catch (const tsdb::error_generic& e) {
    return report(err, "TSDB Error: ", e);
  } catch (const mdb::error_generic& e) {
    return report(err, "MDB Error: ", e);
  } catch (const run_failed&) {
    return 1;
  } catch (const support::interrupted& e) {
    err << '\n'
        << "Interrupted by signal " << e.signal << " (" << ::strsignal(e.signal) << ")"
        << std::endl;
    return 128 + e.signal;
  }
}

}  // namespace creation_tool
