// Block allocation of the TSDB: an in-memory bitmap of the blocks in use,
// a table of hints where free runs began, and growth of the store.
//
// Nothing of this state is written to the file. Invariants:
//   - the word array always has ceil(covered / 32) words, and the allocator
//     never sets a bit at or above the covered count;
//   - block 0 (the header) is marked in use at creation and the scan starts
//     at block 1, so an allocation never returns 0; 0 means "no run found";
//   - a hint is only a suggestion: it is tested (non-zero, below the covered
//     count, block free) before it is used.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "server/database/support/diagnostics.h"

namespace tsdb {

class BackingStore;

inline constexpr std::uint32_t kHintCount = 8;

class BlockAllocator {
 public:
  // Resets the state to `covered` free blocks and no hints. Returns the
  // number of blocks the words can describe (a multiple of 32).
  std::uint64_t bitmap_init(std::uint32_t covered);
  // Marks first .. first+count-1 in use. Fails with error_dcalloc, changing
  // nothing, when any of them is in use already, and with error_internal
  // when the range passes the end of the bitmap.
  void bitmap_mark(std::uint32_t first, std::uint32_t count);
  // Changes the covered count. Fails with error_unref_used when shrinking
  // would drop words that hold blocks in use. Returns words * 32.
  std::uint64_t bitmap_resize(std::uint32_t covered);
  // Finds, marks and returns the first block of n contiguous free blocks,
  // or returns 0 when there is no such run (or n is 0).
  std::uint32_t alloc_blocks(std::uint32_t n);

  bool in_use(std::uint32_t block) const;
  std::uint32_t covered() const { return covered_; }
  const std::array<std::uint32_t, kHintCount>& hints() const { return hints_; }

 private:
  void set_range(std::uint32_t first, std::uint32_t count);
  bool hint_valid(std::uint32_t hint) const;
  // Free blocks from start on, counting at most limit.
  std::uint32_t free_run(std::uint32_t start, std::uint32_t limit) const;
  std::uint32_t take_from_hints(std::uint32_t n);
  std::uint32_t take_first_fit(std::uint32_t n);

  std::vector<std::uint32_t> words_;
  std::uint32_t covered_ = 0;
  std::array<std::uint32_t, kHintCount> hints_{};
};

// Grows the store by at least n blocks (at least 10 % of its size, at most
// what the file system has free) and extends the bitmap to match. Prints
// one line under diagnostic bit 2 or 4. Throws error_dbspacewrap when the
// block count would pass 2^32 - 1.
void grow_tsdb(BackingStore& store, BlockAllocator& allocator,
               const support::DiagnosticMask& diagnostics, std::uint32_t n);

}  // namespace tsdb
