// Definition order is construction order: keep each group before its
// metrics and the groups in the order below.
#include "server/database/support/metrics_table.h"

namespace meter {

std::uint64_t buffercache_block_count = 0;
std::uint64_t buffercache_block_size = 8192;

std::uint64_t buffercache_size_kb() {
  return buffercache_block_size * buffercache_block_count / 1024;
}

Group root_group(nullptr, "");

Group low_group(nullptr, "low");
IntegerCounter phase_shifts(&low_group, "phase_shifts", "", "Number of phase shifts");
MilliSecondTiming phase_shift_time(&low_group, "phase_shift_time", "ms",
                                   "Time a phase shift takes");

Group entrycache_group(nullptr, "entrycache");
IntegerCounter newest_entry_hits(
    &entrycache_group, "newest_entry_hits", "",
    "Number of times we avoided going to disk to retrieve the most recent "
    "record");
IntegerCounter newest_entry_misses(
    &entrycache_group, "newest_entry_misses", "",
    "Number of times we had to access disk to retrieve the most recent record");
IntegerCounter buffer_write_aggr(
    &entrycache_group, "buffer_write_aggr", "",
    "Number of times a record was simply aggregated into the in-memory write "
    "buffer");
IntegerCounter buffer_write_ins(
    &entrycache_group, "buffer_write_ins", "",
    "Number of times a new record was inserted into the in-memory write "
    "buffer");
IntegerCounter buffer_size_flush(
    &entrycache_group, "buffer_size_flush", "",
    "Number of write buffer flush attempts caused by buffer size threshold "
    "crossing");
IntegerCounter buffer_age_flush(&entrycache_group, "buffer_age_flush", "",
                                "Number of write buffer flush attempts caused by buffer entry age "
                                "threshold crossing");
IntegerCounter buffer_filled(&entrycache_group, "buffer_filled", "",
                             "Number of times the write buffer for a check filled up so that it "
                             "required flushing before the could commence");
IntegerCounter buffer_filled_block(
    &entrycache_group, "buffer_filled_block", "",
    "Number of times the flush of a full write buffer required a phase shift "
    "to commence");
IntegerCounter external_buffer_flush(
    &entrycache_group, "external_buffer_flush", "",
    "Number of times a write buffer was forced to flush for external reasons");

Group journal_group(nullptr, "journal");
IntegerCounter journal_bytes(&journal_group, "bytes", "B", "Number of bytes written to journal");
IntegerCounter journal_commits(&journal_group, "commits", "", "Number of transactions commit'ed");
IntegerCounter journal_aborts(&journal_group, "aborts", "", "Number of transactions abort'ed");
IntegerCounter journal_flips(&journal_group, "flips", "", "Number of transactions flips");

Group index_group(nullptr, "index");
IntegerCounter uniq_direct_search(&index_group, "uniq_direct_search", "",
                                  "Unique index direct searches");
IntegerCounter uniq_generic_search(&index_group, "uniq_generic_search", "",
                                   "Unique index generic searches");

MicroSecondTiming journal_sync(&journal_group, "sync", "us", "Time spent sync'ing journal");

Group buffercache_group(nullptr, "buffercache");
IntegerCounter buffercache_hits(&buffercache_group, "hits", "", "Number of buffer cache hits");
IntegerCounter buffercache_misses(&buffercache_group, "misses", "",
                                  "Number of buffer cache misses");
IntegerGaugeCallback buffercache_size(&buffercache_group, "size", "kB",
                                      "Current size of buffer cache",
                                      Bind0<std::uint64_t>(buffercache_size_kb));

Group alloc_group(nullptr, "alloc");
IntegerCounter alloc_nohint_calls(&alloc_group, "nohint_calls", "",
                                  "Non-hinted MDB space allocation requests");
IntegerCounter alloc_hint_calls(&alloc_group, "hint_calls", "",
                                "Hinted MDB space allocation requests");
IntegerCounter alloc_hintfail(
    &alloc_group, "hintfail", "",
    "Number of times the hint passed to the allocator failed to provide a "
    "quick allocation");
IntegerCounter alloc_lastfail(
    &alloc_group, "lastfail", "",
    "Number of times the last-good block remembered by the allocator failed "
    "to provide a quick allocation");
IntegerCounter alloc_bloads(&alloc_group, "bloads", "",
                            "Number of full MDB blocks loaded from backing store for placeholder "
                            "search");

}  // namespace meter
