// The stopped state of the MDB engine: the error that stopped it, kept in
// the engine root until a store is opened or the root is reset. See
// fail_stop.h.
#include "server/database/mdb/fail_stop.h"

#include "server/database/mdb/engine_root.h"

namespace mdb {

// The engine root's part for the stopped state.
struct StopState {
  std::exception_ptr failure;
};

namespace {

std::exception_ptr& first_failure() { return engine_root().stop.get().failure; }

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
