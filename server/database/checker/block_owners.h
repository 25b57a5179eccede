// Which structure uses which blocks of a file, kept as disjoint runs of
// blocks, so that a damaged range of any length costs one map operation and
// an overlap is found once per claim, not once per block.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

namespace checker {

// What uses a run of blocks, encoded by the caller.
using OwnerCode = std::uint64_t;

class BlockOwners {
 public:
  struct Overlap {
    std::uint64_t block = 0;  // the claim's first block that was in use already
    OwnerCode owner = 0;      // what used it
    std::uint64_t blocks = 0; // how many blocks of the claim were in use already
  };

  // Claims blocks [first, end) for `owner`; the caller clamps `end` to the
  // file. Blocks in use already go to the new owner; the first of them is
  // returned.
  std::optional<Overlap> claim(std::uint64_t first, std::uint64_t end, OwnerCode owner);

  // Blocks claimed by anyone.
  std::uint64_t in_use() const { return in_use_; }

 private:
  struct Run {
    std::uint64_t end;
    OwnerCode owner;
  };
  std::map<std::uint64_t, Run> runs_;  // by first block
  std::uint64_t in_use_ = 0;
};

}  // namespace checker
