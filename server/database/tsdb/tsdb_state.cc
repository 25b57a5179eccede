// The process-wide TSDB instance. See tsdb_state.h.
#include "server/database/tsdb/tsdb_state.h"

#include <memory>

namespace tsdb {

namespace {

std::unique_ptr<TsdbState>& instance_slot() {
  static std::unique_ptr<TsdbState> instance = std::make_unique<TsdbState>();
  return instance;
}

}  // namespace

TsdbState& tsdb_instance() { return *instance_slot(); }

void reset_tsdb_instance() { instance_slot() = std::make_unique<TsdbState>(); }

}  // namespace tsdb
