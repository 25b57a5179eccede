// Claiming runs of blocks. Invariant: the runs are disjoint and non-empty;
// adjacent runs of one owner are joined, so a chain element of many blocks
// claimed block by block is one run.
#include "server/database/checker/block_owners.h"

#include <algorithm>
#include <iterator>

namespace checker {

std::optional<BlockOwners::Overlap> BlockOwners::claim(std::uint64_t first, std::uint64_t end,
                                                       OwnerCode owner) {
  if (first >= end) return std::nullopt;
  auto it = runs_.upper_bound(first);
  if (it != runs_.begin() && std::prev(it)->second.end > first) --it;
  std::optional<Overlap> overlap;
  std::uint64_t covered = 0;
  while (it != runs_.end() && it->first < end) {
    const std::uint64_t start = it->first;
    const Run run = it->second;
    const std::uint64_t lo = std::max(start, first), hi = std::min(run.end, end);
    if (!overlap) overlap = Overlap{lo, run.owner, 0};
    covered += hi - lo;
    it = runs_.erase(it);
    if (start < first) runs_.emplace(start, Run{first, run.owner});
    if (run.end > end) runs_.emplace(end, Run{run.end, run.owner});
  }
  in_use_ += end - first - covered;
  it = runs_.emplace(first, Run{end, owner}).first;
  if (it != runs_.begin()) {
    const auto before = std::prev(it);
    if (before->second.end == first && before->second.owner == owner) {
      before->second.end = end;
      runs_.erase(it);
    }
  }
  if (overlap) overlap->blocks = covered;
  return overlap;
}

}  // namespace checker
