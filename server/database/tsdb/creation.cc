// TSDB creation. See creation.h.
//
// The steps run in a fixed order, each announced on standard error and
// closed with "ok." when it succeeded: open the store, size the allocation
// state, grow (or zero) the store, write the header, create the replicas
// interleaved by index (head, tail, lblock, check for replica 0, then 1,
// ...), rewrite the header with all descriptors, and flush. A failure stops
// at its step; what was written stays. On a device the TSDB takes the
// device's first blocks; a device too small for them is refused before
// anything is written.
#include "server/database/tsdb/creation.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <iostream>
#include <limits>
#include <string_view>

#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"
#include "server/database/tsdb/diagnostic_bits.h"
#include "server/database/tsdb/tsdb_state.h"

namespace tsdb {

namespace {

// One mebibyte of store per expected check.
constexpr std::uint64_t kBytesPerCheck = std::uint64_t{1} << 20;

// Prints `text`, runs `action`, and closes the line with "ok.".
template <typename Action>
void progress_step(std::string_view text, Action&& action) {
  std::cerr << text << std::flush;
  action();
  std::cerr << "ok." << std::endl;
}

// Refuses a device that cannot hold `blocks` blocks, before anything is
// written to it.
void check_device_room(const BackingStore& store, const std::string& path, std::uint32_t blocks) {
  const std::uint64_t needed = std::uint64_t{blocks} * store.block_size();
  if (store.is_device() && store.cgs_space() < blocks) {
    throw error_dbnospace("Device " + support::quoted(path) + " holds " +
                          support::text_u64(store.device_bytes()) + " bytes, the TSDB needs " +
                          support::text_u64(needed));
  }
}

// Appends `blocks` zero blocks. On a terminal the line shows how far it
// got, as a percentage that each update overwrites in place (backspaces)
// and that is blanked before the step's "ok."; elsewhere nothing is added,
// so logs and pipes get the plain progress line. Growth that writes zeros
// stops between two runs when the run has been interrupted.
void grow_showing_progress(BackingStore& store, std::uint32_t blocks) {
  if (::isatty(STDERR_FILENO) == 0) {
    store.btb_Grow(blocks);
    return;
  }
  const std::uint32_t slice = std::max<std::uint32_t>(blocks / 200, 1);
  std::string shown;
  for (std::uint32_t done = 0; done < blocks;) {
    const std::string percent = support::text_u64(std::uint64_t{done} * 100 / blocks) + "%";
    if (percent != shown) {
      shown = percent;
      std::cerr << shown << std::string(shown.size(), '\b') << std::flush;
    }
    const std::uint32_t step = std::min(slice, blocks - done);
    store.btb_Grow(step);
    done += step;
  }
  std::cerr << std::string(shown.size(), ' ') << std::string(shown.size(), '\b');
}

}  // namespace

std::uint32_t max_initial_checks(std::uint32_t block_size) {
  const std::uint64_t checks =
      std::uint64_t{std::numeric_limits<std::uint32_t>::max()} * block_size / kBytesPerCheck;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(checks, std::numeric_limits<std::uint32_t>::max()));
}

void check_store(const std::string& path, std::uint32_t chains, std::uint32_t block_size,
                 std::uint32_t initial_checks) {
  const std::uint32_t blocks = initial_block_count(chains, block_size, initial_checks);
  BackingStore store;
  store.btb_Open(path);
  store.btb_SetBlockSize(block_size);
  check_device_room(store, path, blocks);
}

std::uint32_t initial_block_count(std::uint32_t chains, std::uint32_t block_size,
                                  std::uint32_t initial_checks) {
  if (!valid_block_size(block_size)) {
    throw error_internal("Unsupported TSDB block size " + support::text_u32(block_size));
  }
  if (chains < kMinChains || chains > kMaxChains) {
    throw error_internal("Unsupported number of TSDB chains " + support::text_u32(chains));
  }
  if (initial_checks == 0) {
    throw error_internal("Cannot create a TSDB for 0 expected checks");
  }
  const std::uint64_t blocks = initial_checks * kBytesPerCheck / block_size;
  if (blocks > std::numeric_limits<std::uint32_t>::max()) {
    throw error_internal("Cannot create a TSDB for " + support::text_u32(initial_checks) +
                         " expected checks: more than 2^32 blocks of " +
                         support::text_u32(block_size) + " bytes");
  }
  return static_cast<std::uint32_t>(blocks);
}

void tsdb_create(const std::string& path, std::uint32_t chains, std::uint32_t block_size,
                 std::uint32_t initial_checks) {
  tsdb_create(tsdb_instance(), path, chains, block_size, initial_checks);
}

void tsdb_create(TsdbState& tsdb, const std::string& path, std::uint32_t chains,
                 std::uint32_t block_size, std::uint32_t initial_checks) {
  const std::uint32_t blocks = initial_block_count(chains, block_size, initial_checks);
  BackingStore& store = tsdb.store;

  progress_step("Initializing I/O layer...", [&] {
    store.btb_Open(path);
    store.btb_SetBlockSize(block_size);
    check_device_room(store, path, blocks);
  });
  // Every valid B divides 2^20 / 64, so the rounding to whole words of the
  // bitmap leaves the count unchanged.
  const auto covered = static_cast<std::uint32_t>(tsdb.allocator.bitmap_init(blocks));
  progress_step("Initializing database...", [&] {
    if (store.cgs_space() != 0) {
      grow_showing_progress(store, covered);
    } else {
      store.btb_ZeroAll();
    }
  });
  progress_step("Writing header...", [&] { tsdb_create_header(tsdb, block_size, chains); });
  for (std::uint32_t i = 0; i < chains; ++i) {
    for (const ChainKind* kind : kChainKinds) {
      progress_step(
          std::string("Creating ") + kind->name + " chain #" + support::text_u32(i) + "...",
          [&] { chain_create(tsdb, *kind, i, initial_checks); });
    }
  }
  store.btb_WriteFile(0, tsdb.header_image.data(), 1);
  // The caller reports success after this: the new TSDB must survive a
  // power cut from here on.
  store.sync_writes();
}

void tsdb_create_header(TsdbState& tsdb, std::uint32_t block_size, std::uint32_t chains) {
  if (tsdb.header_exists()) {
    throw error_internal("Header loaded, then re-created");
  }
  tsdb.block_size = block_size;
  tsdb.chains = chains;
  tsdb.header_image.assign(block_size, 0);
  encode_header(tsdb.header_image, block_size, static_cast<std::uint32_t>(std::time(nullptr)),
                chains);
  tsdb.store.btb_WriteFile(0, tsdb.header_image.data(), 1);
  tsdb.allocator.bitmap_mark(0, 1);
  for (const ChainKind* kind : kChainKinds) {
    std::vector<PointerChain>& replicas = tsdb.replicas_of(*kind);
    replicas.clear();
    for (std::uint32_t i = 0; i < chains; ++i) {
      replicas.emplace_back(*kind, block_size, i);
    }
  }
  tsdb.current.fill(0);
}

void chain_create(TsdbState& tsdb, const ChainKind& kind, std::uint32_t replica,
                  std::uint32_t initial_checks) {
  PointerChain& chain = tsdb.replicas_of(kind)[replica];
  chain.index = replica;
  const std::uint32_t per_block = chain.layout.entries_per_block;
  // ceil(K / E) without the wrap of (E + K - 1) / E for K near 2^32.
  const std::uint32_t count =
      initial_checks / per_block + (initial_checks % per_block != 0 ? 1 : 0);
  const std::uint32_t first = tsdb.allocator.alloc_blocks(count);
  if (first == 0) {
    throw error_dbnospace("No space available for pointer chain allocation");
  }
  tsdb.diagnostics.print(kTraceBit, "Allocated " + support::text_u32(count) +
                                        " for PointerChain at dblock " + support::text_u32(first));
  chain_append(tsdb, chain, first, count);
  encode_descriptor(tsdb.header_image.data() + descriptor_offset(kind, replica, tsdb.chains), 0,
                    first);
}

}  // namespace tsdb
