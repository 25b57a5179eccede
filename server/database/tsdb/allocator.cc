// The block allocator and store growth. See allocator.h.
//
// alloc_blocks first tries the hints of the request's size class and above,
// then scans first-fit from block 1, refreshing the hints of the size
// classes that each free run it meets could serve.
#include "server/database/tsdb/allocator.h"

#include <algorithm>
#include <bit>

#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"
#include "server/database/tsdb/backing_store.h"
#include "server/database/tsdb/diagnostic_bits.h"

namespace tsdb {

namespace {

std::uint32_t words_for(std::uint32_t blocks) {
  return static_cast<std::uint32_t>((std::uint64_t{blocks} + 31) / 32);
}

// floor(log2 n). REQUIRES: n > 0.
std::uint32_t size_class(std::uint32_t n) {
  return static_cast<std::uint32_t>(std::bit_width(n)) - 1;
}

}  // namespace

std::uint64_t BlockAllocator::bitmap_init(std::uint32_t covered) {
  covered_ = covered;
  words_.assign(words_for(covered), 0);
  hints_.fill(0);
  return std::uint64_t{words_.size()} * 32;
}

bool BlockAllocator::in_use(std::uint32_t block) const {
  return (words_[block / 32] >> (block % 32)) & 1u;
}

void BlockAllocator::set_range(std::uint32_t first, std::uint32_t count) {
  const std::uint64_t end = std::uint64_t{first} + count;
  for (std::uint64_t b = first; b < end; ++b) {
    words_[b / 32] |= 1u << (b % 32);
  }
}

void BlockAllocator::bitmap_mark(std::uint32_t first, std::uint32_t count) {
  if (std::uint64_t{first} + count > std::uint64_t{words_.size()} * 32) {
    throw error_internal("Block " + support::text_u32(first) + " for marking is out of range");
  }
  const std::uint64_t end = std::uint64_t{first} + count;
  for (std::uint64_t b = first; b < end; ++b) {
    if (in_use(static_cast<std::uint32_t>(b))) {
      throw error_dcalloc("Block " + support::text_u32(first) + " doubly allocated");
    }
  }
  set_range(first, count);
}

std::uint64_t BlockAllocator::bitmap_resize(std::uint32_t covered) {
  const std::uint32_t words = words_for(covered);
  if (words < words_.size() &&
      std::any_of(words_.begin() + words, words_.end(), [](std::uint32_t w) { return w != 0; })) {
    throw error_unref_used("Referenced block deallocated");
  }
  words_.resize(words, 0);
  covered_ = covered;
  return std::uint64_t{words} * 32;
}

bool BlockAllocator::hint_valid(std::uint32_t hint) const {
  return hint != 0 && hint < covered_ && !in_use(hint);
}

std::uint32_t BlockAllocator::free_run(std::uint32_t start, std::uint32_t limit) const {
  std::uint32_t length = 0;
  while (length < limit && start + length < covered_ && !in_use(start + length)) {
    ++length;
  }
  return length;
}

std::uint32_t BlockAllocator::take_from_hints(std::uint32_t n) {
  for (std::uint32_t j = size_class(n); j < kHintCount; ++j) {
    const std::uint32_t hint = hints_[j];
    if (!hint_valid(hint)) continue;
    if (free_run(hint, n) >= n) {
      set_range(hint, n);
      hints_[j] = hint + n;
      return hint;
    }
    hints_[j] = 0;
  }
  return 0;
}

std::uint32_t BlockAllocator::take_first_fit(std::uint32_t n) {
  if (covered_ <= 1) return 0;
  std::uint32_t b = 1;
  while (b < covered_) {
    if (in_use(b)) {
      ++b;
      continue;
    }
    const std::uint32_t length = free_run(b, n);
    const std::uint32_t classes = std::min(size_class(length), kHintCount);
    for (std::uint32_t i = 0; i < classes; ++i) {
      if (!hint_valid(hints_[i])) hints_[i] = b;
    }
    if (length >= n) {
      set_range(b, n);
      for (std::uint32_t i = 0; i < classes; ++i) {
        if (hints_[i] == b) hints_[i] = b + n;
      }
      return b;
    }
    b += length;
  }
  return 0;
}

std::uint32_t BlockAllocator::alloc_blocks(std::uint32_t n) {
  if (n == 0) return 0;
  if (size_class(n) < kHintCount) {
    if (const std::uint32_t first = take_from_hints(n); first != 0) {
      return first;
    }
  }
  return take_first_fit(n);
}

void grow_tsdb(BackingStore& store, BlockAllocator& allocator,
               const support::DiagnosticMask& diagnostics, std::uint32_t n) {
  const std::uint32_t count = store.btb_BlockCount();
  const std::uint32_t minimum = (count / 100) * 10;
  std::uint32_t want = std::max(n, minimum);
  const std::uint32_t free = store.cgs_space();
  if (free < want) {
    diagnostics.print(kShortageBit, "Wanted to grow TSDB with " + support::text_u32(want) +
                                        " blocks, but only " + support::text_u32(free) +
                                        " blocks are available");
    want = free;
  } else {
    diagnostics.print(kInfoBit, "Growing TSDB with " + support::text_u32(want) + " blocks");
  }
  const std::uint32_t grown = count + want;
  if (grown < count) {
    throw error_dbspacewrap("Growing the database with " + support::text_u32(want) +
                            " blocks will make it exceed internal limits "
                            "for TSDB size");
  }
  store.btb_Grow(want);
  allocator.bitmap_resize(grown);
}

}  // namespace tsdb
