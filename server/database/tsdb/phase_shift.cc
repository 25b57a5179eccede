// The phase shift. See phase_shift.h.
//
// Order of a commit: write the dirty replicas (lblock, head, tail, check),
// flush; stamp lblock, flush; stamp head and tail, flush; stamp check,
// flush; then rotate the kinds that were stamped. A crash anywhere leaves
// each kind with its newest fully stamped replica as the one a reader
// chooses.
#include "server/database/tsdb/phase_shift.h"

#include <array>

#include "server/database/support/clock.h"
#include "server/database/support/metrics_table.h"
#include "server/database/support/text_format.h"
#include "server/database/tsdb/chains.h"
#include "server/database/tsdb/diagnostic_bits.h"
#include "server/database/tsdb/pointer_chain_growth.h"
#include "server/database/tsdb/tsdb_state.h"

namespace tsdb {

namespace {

// The kinds in commit order, grouped by the flush that ends their commit:
// levels first, then the head and tail pointers, then the check entries
// that refer to levels.
constexpr std::array<std::array<const ChainKind*, 2>, 3> kCommitGroups{{
    {&kLblockChain, nullptr},
    {&kHeadChain, &kTailChain},
    {&kCheckChain, nullptr},
}};

// The kinds in the order their replicas are written and rotated.
constexpr std::array<const ChainKind*, kChainKindCount> kWriteOrder{&kLblockChain, &kHeadChain,
                                                                    &kTailChain, &kCheckChain};

}  // namespace

void phase_shift(TsdbState& tsdb) {
  const support::time_value start = support::now();
  std::array<bool, kChainKindCount> dirty{};
  bool any_dirty = false;
  for (const ChainKind* kind : kWriteOrder) {
    dirty[kind->number] = chain_is_dirty(tsdb.current_replica(*kind));
    any_dirty = any_dirty || dirty[kind->number];
  }
  for (const ChainKind* kind : kWriteOrder) {
    if (dirty[kind->number]) chain_write(tsdb, tsdb.current_replica(*kind));
  }
  if (!any_dirty) {
    tsdb.diagnostics.print(kInfoBit, "Phase shift of all chains avoided");
    return;
  }
  tsdb.store.sync_writes();
  for (const auto& group : kCommitGroups) {
    bool stamped = false;
    for (const ChainKind* kind : group) {
      if (kind == nullptr || !dirty[kind->number]) continue;
      chain_new_timestamp(tsdb, tsdb.current_replica(*kind));
      stamped = true;
    }
    if (stamped) tsdb.store.sync_writes();
  }
  for (const ChainKind* kind : kWriteOrder) {
    if (dirty[kind->number]) rotate(tsdb, *kind);
  }
  meter::phase_shifts.add(1);
  meter::phase_shift_time.record_duration(support::elapsed(support::now(), start));
}

void rotate(TsdbState& tsdb, const ChainKind& kind) {
  const std::uint32_t current = tsdb.current[kind.number];
  const std::uint32_t next = (current + 1) % tsdb.chains;
  std::vector<PointerChain>& replicas = tsdb.replicas_of(kind);
  chain_copy(tsdb, replicas[next], replicas[current]);
  tsdb.diagnostics.print(kInfoBit, std::string("Phase shift from ") + kind.title + " chain " +
                                       support::text_u32(current) + " to chain " +
                                       support::text_u32(next) + " complete!");
  tsdb.current[kind.number] = next;
}

}  // namespace tsdb
