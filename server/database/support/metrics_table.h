// The process-wide groups and metrics of the storage engines.
//
// They are constructed before main() in the order they are defined in
// metrics_table.cc, each group before its metrics, and destroyed at exit.
#pragma once

#include <cstdint>

#include "server/database/support/metrics.h"

namespace meter {

extern Group root_group;  // the group with the empty name; no metrics

extern Group low_group;
extern IntegerCounter phase_shifts;
extern MilliSecondTiming phase_shift_time;

extern Group entrycache_group;
extern IntegerCounter newest_entry_hits;
extern IntegerCounter newest_entry_misses;
extern IntegerCounter buffer_write_aggr;
extern IntegerCounter buffer_write_ins;
extern IntegerCounter buffer_size_flush;
extern IntegerCounter buffer_age_flush;
extern IntegerCounter buffer_filled;
extern IntegerCounter buffer_filled_block;
extern IntegerCounter external_buffer_flush;

extern Group journal_group;
extern IntegerCounter journal_bytes;
extern IntegerCounter journal_commits;
extern IntegerCounter journal_aborts;
extern IntegerCounter journal_flips;

extern Group index_group;
extern IntegerCounter uniq_direct_search;
extern IntegerCounter uniq_generic_search;

extern MicroSecondTiming journal_sync;

extern Group buffercache_group;
extern IntegerCounter buffercache_hits;
extern IntegerCounter buffercache_misses;
extern IntegerGaugeCallback buffercache_size;

extern Group alloc_group;
extern IntegerCounter alloc_nohint_calls;
extern IntegerCounter alloc_hint_calls;
extern IntegerCounter alloc_hintfail;
extern IntegerCounter alloc_lastfail;
extern IntegerCounter alloc_bloads;

// Number of blocks the MDB buffer cache holds and their size in bytes (the
// MDB's block size, 8192 until an MDB is read); the buffer cache keeps both
// up to date, and the gauge "size" reports block size * blocks / 1024 kB.
extern std::uint64_t buffercache_block_count;
extern std::uint64_t buffercache_block_size;

// What the gauge "size" reads.
std::uint64_t buffercache_size_kb();

}  // namespace meter
