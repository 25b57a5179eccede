// Which structure uses which blocks of a file. A block belongs to the first
// structure that claims it; a later claim that meets it is an overlap. The
// blocks in use are kept as a bitmap with a summary level per 64 words, so
// that a claim costs one search per run of blocks it meets plus one step per
// block it takes: a damaged range of any length over blocks in use costs a
// few steps, and each block is taken once. The owners are kept as runs, one
// per run of blocks taken.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace checker {

// What uses a run of blocks, encoded by the caller.
using OwnerCode = std::uint64_t;

class BlockOwners {
 public:
  struct Overlap {
    std::uint64_t block = 0;   // the claim's first block that was in use already
    std::uint64_t blocks = 0;  // how many blocks of the claim were in use already
  };

  // Blocks 0 to blocks - 1 can be claimed.
  explicit BlockOwners(std::uint64_t blocks);

  // Claims blocks [first, end) for `owner`; blocks in use already keep
  // their owner, and the first of them is returned.
  // A claim with first >= end claims nothing.
  // REQUIRES: end <= blocks.
  std::optional<Overlap> claim(std::uint64_t first, std::uint64_t end, OwnerCode owner);

  // The owner of a block in use.
  // REQUIRES: the block was claimed.
  OwnerCode owner_of(std::uint64_t block) const;

  // Blocks claimed by anyone.
  std::uint64_t in_use() const { return in_use_; }

 private:
  // The first block at or after `block` that is free; at least the number
  // of blocks when none is.
  std::uint64_t next_free(std::uint64_t block) const;
  // The first clear bit at or after bit `bit` of level `level`; the level's
  // number of bits (its words times 64) when there is none.
  std::uint64_t next_clear(std::size_t level, std::uint64_t bit) const;
  void take(std::uint64_t block);
  bool taken(std::uint64_t block) const { return (levels_[0][block >> 6] >> (block & 63)) & 1; }

  struct Run {
    std::uint64_t end;
    OwnerCode owner;
  };
  // levels_[0] has a bit per block, set when it is in use; a bit of
  // levels_[k + 1] is set when the word of levels_[k] it stands for is full.
  std::vector<std::vector<std::uint64_t>> levels_;
  std::map<std::uint64_t, Run> runs_;  // by first block
  std::uint64_t in_use_ = 0;
};

}  // namespace checker
