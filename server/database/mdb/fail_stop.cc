// The stopped state of the MDB engine: the error that stopped it, kept for
// the process. See fail_stop.h.
#include "server/database/mdb/fail_stop.h"

namespace mdb {

namespace {

std::exception_ptr& first_failure() {
  static std::exception_ptr failure;
  return failure;
}

}  // namespace

void throw_if_stopped() {
  if (first_failure()) std::rethrow_exception(first_failure());
}

bool engine_stopped() { return static_cast<bool>(first_failure()); }

void stop_engine(std::exception_ptr error) {
  if (!first_failure()) first_failure() = error;
  std::rethrow_exception(first_failure());
}

void clear_stopped_state() { first_failure() = nullptr; }

}  // namespace mdb
