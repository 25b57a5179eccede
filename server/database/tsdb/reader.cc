// Reading a TSDB file without changing it.
//
// Invariants: the file descriptor is opened O_RDONLY and only pread is
// used on it; a walk visits each block at most once and never more blocks
// than the file holds, so a damaged chain cannot make it loop.
#include "server/database/tsdb/reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "server/database/support/errors.h"
#include "server/database/support/file_io.h"
#include "server/database/support/text_format.h"

namespace tsdb {

namespace {

using support::text_u32;

std::string magic_text(std::uint32_t magic) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>((magic >> shift) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return text;
}

// The most bytes one read of chain blocks takes.
constexpr std::uint64_t kMaxRunBytes = 1 << 20;

// Chain blocks read ahead. The blocks of an element lie one after the other,
// so while the blocks asked for follow the last one read, each read takes
// twice as many blocks as the one before (up to kMaxRunBytes); after a jump
// it takes one block again. Long elements thus cost few calls, and a chain
// that jumps about reads at most about twice what it uses.
class BlockRuns {
 public:
  explicit BlockRuns(const Reader& reader) : reader_(reader) {}

  // The image of block n; null when it does not lie wholly in the file.
  const std::uint8_t* get(std::uint64_t n) {
    const std::size_t size = reader_.header().block_size;
    if (n >= first_ && n < first_ + count_) return buffer_.data() + (n - first_) * size;
    const std::uint64_t most = std::max<std::uint64_t>(kMaxRunBytes / size, 1);
    run_ = count_ > 0 && n == first_ + count_ ? std::min(run_ * 2, most) : 1;
    jumps_ += run_ == 1 ? 1 : 0;
    const std::uint64_t blocks = reader_.file_blocks();
    first_ = n;
    count_ = n < blocks ? std::min(run_, blocks - n) : 0;
    buffer_.resize(count_ * size);
    if (count_ == 0 || !reader_.read_blocks(first_, count_, buffer_.data())) {
      count_ = 0;
      return nullptr;
    }
    return buffer_.data();
  }

  // Reads that did not follow the one before.
  std::uint64_t jumps() const { return jumps_; }

 private:
  const Reader& reader_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t first_ = 0, count_ = 0, run_ = 1, jumps_ = 0;
};

// Blocks read with more than 1024 jumps, and more than one jump for every
// 64 blocks of the file, lie scattered: one pass over the whole file then
// costs less than a read for each block still to come.
bool scattered(std::uint64_t jumps, std::uint64_t file_blocks) {
  return jumps > 1024 && jumps > file_blocks / 64;
}

}  // namespace

std::uint32_t ReplicaWalk::capacity(std::uint32_t block_size) const {
  return static_cast<std::uint32_t>(blocks.size()) *
         entries_per_block(*kChainKinds[kind], block_size);
}

Reader::~Reader() { close(); }

void Reader::open(const std::string& path) {
  close();
  support::UniqueFd fd = support::open_file(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (!fd.is_open()) {
    throw error_io("Cannot open " + path +
                   " for reading: " + error::system_error_text(static_cast<std::uint32_t>(errno)));
  }
  fd_ = std::move(fd);
  const off_t end = support::file_calls().lseek(fd_.get(), 0, SEEK_END);
  file_bytes_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
  image_.assign(kDescriptorsOffset, 0);
  if (!support::pread_full(fd_.get(), image_.data(), image_.size(), 0).complete(image_.size())) {
    throw error_consistency("TSDB header is truncated");
  }
  header_ = decode_header(image_);
  if (header_.magic != kHeaderMagic) {
    throw error_consistency("Not a TSDB file (magic " + magic_text(header_.magic) + ")");
  }
  if (header_.version != kFormatVersion) {
    throw error_consistency("TSDB format version " + text_u32(header_.version) + " is unsupported");
  }
  if (!valid_block_size(header_.block_size)) {
    throw error_consistency("TSDB block size " + text_u32(header_.block_size) +
                            " is not a power of two from 1024 to 16384");
  }
  if (header_.chains < kMinChains || header_.chains > kMaxChains) {
    throw error_consistency("TSDB replica count " + text_u32(header_.chains) +
                            " is outside 2 to 5");
  }
  if (!read_block(0, image_)) {
    throw error_consistency("TSDB header block is truncated");
  }
}

void Reader::close() {
  fd_.close();
  file_bytes_ = 0;
  header_ = {};
  image_.clear();
}

ChainDescriptor Reader::descriptor(const ChainKind& kind, std::uint32_t replica) const {
  return decode_descriptor(image_.data() +
                           checked_descriptor_offset(image_, kind, replica, header_.chains));
}

bool Reader::descriptor_valid(const ChainKind& kind, std::uint32_t replica) const {
  return descriptor_crc_valid(image_.data() +
                              checked_descriptor_offset(image_, kind, replica, header_.chains));
}

std::uint32_t Reader::current_replica(const ChainKind& kind) const {
  return select_replica(image_, kind, header_.chains);
}

bool Reader::read_block(std::uint32_t n, std::vector<std::uint8_t>& buffer) const {
  buffer.resize(header_.block_size);
  return read_blocks(n, 1, buffer.data());
}

bool Reader::read_blocks(std::uint64_t first, std::uint64_t count, std::uint8_t* buffer) const {
  const std::uint64_t size = header_.block_size;
  if (!fd_.is_open() || size == 0 || first + count > file_blocks()) return false;
  return support::pread_full(fd_.get(), buffer, count * size, first * size).complete(count * size);
}

ReplicaWalk Reader::walk(const ChainKind& kind, std::uint32_t replica) const {
  ReplicaWalk result;
  result.kind = kind.number;
  result.replica = replica;
  std::vector<bool> seen(file_blocks());
  BlockRuns runs(*this);
  std::uint32_t block = descriptor(kind, replica).first_block;
  std::uint32_t previous = 0;
  std::uint32_t previous_position = 0;
  const auto fault = [&result](std::uint32_t at, std::string text) {
    result.faults.push_back({at, std::move(text)});
  };
  if (block == 0) fault(0, "descriptor names block 0 as first block");
  while (block != 0) {
    const std::uint32_t from = result.blocks.empty() ? 0 : previous;
    if (headers_.empty() && scattered(runs.jumps(), file_blocks())) read_all_headers();
    const std::uint8_t* image = headers_.empty() ? runs.get(block) : nullptr;
    if (block >= file_blocks() || (headers_.empty() && image == nullptr)) {
      result.past_end = block;
      break;
    }
    if (seen[block]) {
      fault(from, "next block " + text_u32(block) + " is already in the chain");
      break;
    }
    seen[block] = true;
    const ChainBlockHeader header =
        image != nullptr ? decode_chain_block_header(image) : headers_[block];
    if (header.magic != kind.magic) {
      fault(block, "magic " + magic_text(header.magic) + ", expected " + magic_text(kind.magic));
      break;
    }
    if (header.replica != replica) {
      fault(block, "replica index " + text_u32(header.replica) + ", expected " + text_u32(replica));
    }
    const bool continues = !result.blocks.empty() && header.position != 0;
    if (header.position == 0) {
      ++result.elements;
    } else if (!continues || block != previous + 1 || header.position != previous_position + 1) {
      fault(block, "position " + text_u32(header.position) + " does not continue its element");
    }
    result.blocks.push_back(block);
    previous = block;
    previous_position = header.position;
    block = header.next_block;
  }
  return result;
}

void Reader::read_all_headers() const {
  headers_.resize(file_blocks());
  BlockRuns runs(*this);
  for (std::uint64_t n = 0; n < headers_.size(); ++n) {
    const std::uint8_t* image = runs.get(n);
    headers_[n] = image != nullptr ? decode_chain_block_header(image) : ChainBlockHeader{};
  }
}

bool Reader::each_entry(const ReplicaWalk& walk, const EntryVisitor& visit) const {
  const ChainKind& kind = *kChainKinds[walk.kind];
  const std::uint32_t per_block = entries_per_block(kind, header_.block_size);
  // The blocks' places in the chain, taken in chain order or, when that
  // jumps about, in the order of the file.
  std::vector<std::uint32_t> order(walk.blocks.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::uint64_t jumps = 0;
  for (std::size_t i = 1; i < walk.blocks.size(); ++i) {
    jumps += walk.blocks[i] != walk.blocks[i - 1] + 1 ? 1 : 0;
  }
  if (scattered(jumps, file_blocks())) {
    std::sort(order.begin(), order.end(), [&walk](std::uint32_t a, std::uint32_t b) {
      return walk.blocks[a] < walk.blocks[b];
    });
  }
  BlockRuns runs(*this);
  for (const std::uint32_t i : order) {
    const std::uint8_t* image = runs.get(walk.blocks[i]);
    if (image == nullptr) return false;
    for (std::uint32_t slot = 0; slot < per_block; ++slot) {
      visit(i * per_block + slot, decode_entry(image + entry_offset(kind, slot), kind));
    }
  }
  return true;
}

}  // namespace tsdb
