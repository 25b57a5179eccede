// The top-level handler. The catch order matters: the I/O classes derive
// from the generic ones of their family, so they are caught first, and the
// TSDB family comes before the MDB family. Nothing is cleaned up after a
// failure; files already written stay on disk.
#include "server/database/creation_tool/top_level_handler.h"

#include "server/database/support/errors.h"

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
  }
}

}  // namespace creation_tool
