// Claiming runs of blocks. Invariants: a bit of level k + 1 is set exactly
// when all 64 bits of its word of level k are; the runs are disjoint,
// non-empty and cover exactly the blocks in use; adjacent runs of one owner
// are joined, so a chain element claimed block by block is one run.
#include "server/database/checker/block_owners.h"

#include <bit>
#include <iterator>

namespace checker {

BlockOwners::BlockOwners(std::uint64_t blocks) {
  std::uint64_t bits = blocks;
  do {
    const std::uint64_t words = (bits + 63) / 64;
    levels_.emplace_back(words, 0);
    bits = words;
  } while (bits > 1);
}

std::uint64_t BlockOwners::next_clear(std::size_t level, std::uint64_t bit) const {
  const std::vector<std::uint64_t>& words = levels_[level];
  const std::uint64_t end = words.size() * 64;
  if (bit >= end) return end;
  const std::uint64_t clear = ~words[bit >> 6] & (~std::uint64_t{0} << (bit & 63));
  if (clear != 0) return (bit & ~std::uint64_t{63}) + std::countr_zero(clear);
  // The rest of this word is in use: find the next word with room through
  // the level above (on the top level, of one word, there is none).
  if (level + 1 == levels_.size()) return end;
  const std::uint64_t word = next_clear(level + 1, (bit >> 6) + 1);
  if (word >= words.size()) return end;
  return word * 64 + std::countr_zero(~words[word]);
}

std::uint64_t BlockOwners::next_free(std::uint64_t block) const { return next_clear(0, block); }

void BlockOwners::take(std::uint64_t block) {
  for (std::vector<std::uint64_t>& words : levels_) {
    std::uint64_t& word = words[block >> 6];
    word |= std::uint64_t{1} << (block & 63);
    if (word != ~std::uint64_t{0}) return;
    block >>= 6;
  }
}

std::optional<BlockOwners::Overlap> BlockOwners::claim(std::uint64_t first, std::uint64_t end,
                                                       OwnerCode owner) {
  std::uint64_t taken_now = 0;
  std::optional<Overlap> overlap;
  for (std::uint64_t block = first; block < end;) {
    const std::uint64_t free = next_free(block);
    if (free > block && !overlap) overlap = Overlap{block, 0};
    if (free >= end) break;
    std::uint64_t stop = free;
    for (; stop < end && !taken(stop); ++stop) take(stop);
    taken_now += stop - free;
    auto it = runs_.emplace(free, Run{stop, owner}).first;
    if (it != runs_.begin()) {
      const auto before = std::prev(it);
      if (before->second.end == free && before->second.owner == owner) {
        before->second.end = stop;
        runs_.erase(it);
      }
    }
    block = stop;
  }
  in_use_ += taken_now;
  if (overlap) overlap->blocks = end - first - taken_now;
  return overlap;
}

OwnerCode BlockOwners::owner_of(std::uint64_t block) const {
  return std::prev(runs_.upper_bound(block))->second.owner;
}

}  // namespace checker
