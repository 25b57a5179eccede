// Per-block update lists and the images folded from them.
#include "server/database/mdb/block_updates.h"

#include <cstring>

#include "server/database/mdb/database.h"
#include "server/database/mdb/journal_format.h"
#include "server/database/mdb/journal_scan.h"

namespace mdb {

namespace {

// Applies the pending updates to `buffer` and forgets them.
void apply_pending(BlockUpdates& entry, std::uint32_t block, std::uint8_t* buffer,
                   std::uint32_t block_size) {
  const JournalFile& journal = database().journal;
  const std::uint64_t at = std::uint64_t{block} * block_size;
  for (const std::uint32_t position : entry.pending) {
    copy_update_into(buffer, block_size, at, decode_tupd(journal.entry_at(position)));
  }
  entry.pending.clear();
}

}  // namespace

bool has_image(const UpdatesByBlock& updates, std::uint32_t block) {
  const auto found = updates.find(block);
  return found != updates.end() && !found->second.image.empty();
}

void fold_pending(BlockUpdates& entry, std::uint32_t block, std::uint32_t block_size) {
  apply_pending(entry, block, entry.image.data(), block_size);
}

void note_update(UpdatesByBlock& updates, std::uint32_t position, std::uint64_t target,
                 std::uint32_t length, std::uint32_t block_size) {
  if (length == 0) return;
  for (std::uint64_t block = target / block_size; block <= (target + length - 1) / block_size;
       ++block) {
    updates[static_cast<std::uint32_t>(block)].pending.push_back(position);
  }
}

void bring_up_to_date(UpdatesByBlock& updates, std::uint32_t block, std::uint8_t* buffer,
                      std::uint32_t block_size) {
  const auto found = updates.find(block);
  if (found == updates.end()) return;
  BlockUpdates& entry = found->second;
  if (!entry.image.empty()) {
    std::memcpy(buffer, entry.image.data(), block_size);
  }
  if (entry.pending.empty()) return;
  apply_pending(entry, block, buffer, block_size);
  entry.image.assign(buffer, buffer + block_size);
}

void merge_committed(UpdatesByBlock& open, UpdatesByBlock& unapplied, std::uint32_t block_size) {
  for (auto& [block, entry] : open) {
    BlockUpdates& target = unapplied[block];
    if (!entry.image.empty()) {
      // The open image was made from the block with every earlier commit
      // applied, so it stands for all of them.
      apply_pending(entry, block, entry.image.data(), block_size);
      target.image = std::move(entry.image);
      target.pending.clear();
    } else {
      target.pending.insert(target.pending.end(), entry.pending.begin(), entry.pending.end());
    }
  }
  open.clear();
}

}  // namespace mdb
