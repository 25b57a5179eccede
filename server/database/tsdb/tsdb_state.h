// The state of the one open TSDB of the process.
//
// Everything the engine keeps between calls lives in one TsdbState: the
// backing store, the block allocation state, the diagnostic mask, the
// header image and the replicas of the four chain kinds with the current
// replica of each. Invariants:
//   - header_image is empty until the header has been created; once created
//     it has block_size bytes and is never re-created;
//   - replicas[k] holds `chains` replicas of kind k, replica i at index i,
//     once the header exists; current[k] < chains.
// The process uses tsdb_instance(); tests may build their own TsdbState or
// replace the process-wide one with reset_tsdb_instance().
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "server/database/support/diagnostics.h"
#include "server/database/tsdb/allocator.h"
#include "server/database/tsdb/backing_store.h"
#include "server/database/tsdb/chains.h"
#include "server/database/tsdb/format.h"

namespace tsdb {

class TsdbState {
 public:
  bool header_exists() const { return !header_image.empty(); }
  std::vector<PointerChain>& replicas_of(const ChainKind& kind) { return replicas[kind.number]; }
  PointerChain& current_replica(const ChainKind& kind) {
    return replicas[kind.number][current[kind.number]];
  }

  BackingStore store;
  BlockAllocator allocator;
  support::DiagnosticMask diagnostics;
  std::vector<std::uint8_t> header_image;
  std::uint32_t block_size = 0;  // B
  std::uint32_t chains = 0;      // N, replicas per kind
  std::array<std::vector<PointerChain>, kChainKindCount> replicas;
  std::array<std::uint32_t, kChainKindCount> current{};
};

// The process-wide TSDB.
TsdbState& tsdb_instance();
// Replaces the process-wide TSDB by a fresh, unopened one (tests only).
void reset_tsdb_instance();

}  // namespace tsdb
