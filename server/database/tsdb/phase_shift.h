// Committing the TSDB's chain replicas: the phase shift.
//
// Each chain kind has one current replica that takes every change in
// memory. A phase shift writes the changed current replicas completely,
// flushes, and makes each one authoritative by raising its timestamp in the
// header (a fresh CRC, block 0 written, flushed). Then each changed kind
// rotates: the next replica receives a copy of the committed one and
// becomes the current replica. Invariants:
//   - a replica's header write (its commit point) follows the flush of all
//     its blocks, so a descriptor with a valid CRC and the highest timestamp
//     of its kind always names a completely written replica;
//   - kinds commit in the order lblock, head and tail, check, each followed
//     by a flush, so a committed check entry never names an lblock that the
//     committed lblock replica lacks;
//   - the replica committed last is not written again until N phase shifts
//     of its kind later; kinds that did not change keep their current
//     replica.
#pragma once

#include "server/database/tsdb/format.h"

namespace tsdb {

class TsdbState;

// Commits every dirty current replica and rotates the kinds it committed.
// Prints "Phase shift of all chains avoided" under diagnostic bit 2 and
// does nothing else when no current replica is dirty. Otherwise counts one
// in meter::phase_shifts and records its duration in
// meter::phase_shift_time. Store and growth errors pass through; the
// in-memory state is not rolled back.
// REQUIRES: the TSDB is created (header and replicas exist).
void phase_shift(TsdbState& tsdb);

// Makes the replica after the current one of `kind` (modulo N) a copy of
// the current one and the new current replica; prints the rotation line
// under diagnostic bit 2.
// REQUIRES: the TSDB is created.
void rotate(TsdbState& tsdb, const ChainKind& kind);

}  // namespace tsdb
