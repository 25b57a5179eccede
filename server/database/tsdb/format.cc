// Encoding and decoding of the TSDB file format. See format.h.
#include "server/database/tsdb/format.h"

#include <algorithm>
#include <bit>
#include <string>

#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/support/hash.h"
#include "server/database/support/text_format.h"

namespace tsdb {

namespace {

// Bytes of a descriptor that its CRC covers: timestamp and first block.
constexpr std::uint32_t kDescriptorCrcSpan = 12;

// Header field offsets.
constexpr std::uint32_t kMagicAt = 0;
constexpr std::uint32_t kVersionAt = 4;
constexpr std::uint32_t kBlockSizeAt = 8;
constexpr std::uint32_t kReservedAt = 12;
constexpr std::uint32_t kCreationTimeAt = 16;
constexpr std::uint32_t kChainsAt = 20;

// Chain block header field offsets.
constexpr std::uint32_t kBlockMagicAt = 0;
constexpr std::uint32_t kNextBlockAt = 4;
constexpr std::uint32_t kReplicaAt = 8;
constexpr std::uint32_t kPositionAt = 12;

}  // namespace

std::uint32_t entries_per_block(const ChainKind& kind, std::uint32_t block_size) {
  return (block_size - kChainBlockHeaderSize) / kind.entry_size;
}

bool valid_block_size(std::uint32_t block_size) {
  return std::has_single_bit(block_size) && block_size >= kMinBlockSize &&
         block_size <= kMaxBlockSize;
}

void encode_header(std::span<std::uint8_t> image, std::uint32_t block_size,
                   std::uint32_t creation_time, std::uint32_t chains) {
  std::fill(image.begin(), image.end(), std::uint8_t{0});
  std::uint8_t* p = image.data();
  support::store_be32(p + kMagicAt, kHeaderMagic);
  support::store_be32(p + kVersionAt, kFormatVersion);
  support::store_be32(p + kBlockSizeAt, block_size);
  support::store_be32(p + kReservedAt, 0);
  support::store_be32(p + kCreationTimeAt, creation_time);
  support::store_be32(p + kChainsAt, chains);
}

HeaderFields decode_header(std::span<const std::uint8_t> image) {
  if (image.size() < kDescriptorsOffset) {
    throw error_consistency("TSDB header of " + support::text_u64(image.size()) +
                            " bytes is too short for its fields");
  }
  const std::uint8_t* p = image.data();
  HeaderFields fields;
  fields.magic = support::load_be32(p + kMagicAt);
  fields.version = support::load_be32(p + kVersionAt);
  fields.block_size = support::load_be32(p + kBlockSizeAt);
  fields.reserved = support::load_be32(p + kReservedAt);
  fields.creation_time = support::load_be32(p + kCreationTimeAt);
  fields.chains = support::load_be32(p + kChainsAt);
  return fields;
}

std::uint32_t descriptor_offset(const ChainKind& kind, std::uint32_t replica,
                                std::uint32_t chains) {
  return kDescriptorsOffset + kDescriptorSize * (kind.number * chains + replica);
}

std::uint32_t checked_descriptor_offset(std::span<const std::uint8_t> image, const ChainKind& kind,
                                        std::uint32_t replica, std::uint32_t chains) {
  using support::text_u32;
  if (chains < kMinChains || chains > kMaxChains) {
    throw error_consistency("Number of chains is " + text_u32(chains) + " - but it must be from " +
                            text_u32(kMinChains) + " to " + text_u32(kMaxChains));
  }
  const std::uint32_t offset = replica < chains ? descriptor_offset(kind, replica, chains) : 0;
  if (replica >= chains || offset + kDescriptorSize > image.size()) {
    throw error_consistency("Descriptor of " + std::string(kind.name) + " chain #" +
                            text_u32(replica) + " lies outside the TSDB header");
  }
  return offset;
}

void encode_descriptor(std::uint8_t* descriptor, std::uint64_t timestamp,
                       std::uint32_t first_block) {
  support::store_be64(descriptor, timestamp);
  support::store_be32(descriptor + 8, first_block);
  support::store_be32(descriptor + kDescriptorCrcSpan,
                      security::crc32_of(descriptor, kDescriptorCrcSpan));
}

void encode_descriptor_timestamp(std::uint8_t* descriptor, std::uint64_t timestamp) {
  support::store_be64(descriptor, timestamp);
}

ChainDescriptor decode_descriptor(const std::uint8_t* descriptor) {
  ChainDescriptor result;
  result.timestamp = support::load_be64(descriptor);
  result.first_block = support::load_be32(descriptor + 8);
  result.crc = support::load_be32(descriptor + kDescriptorCrcSpan);
  return result;
}

bool descriptor_crc_valid(const std::uint8_t* descriptor) {
  return support::load_be32(descriptor + kDescriptorCrcSpan) ==
         security::crc32_of(descriptor, kDescriptorCrcSpan);
}

std::uint32_t select_replica(std::span<const std::uint8_t> image, const ChainKind& kind,
                             std::uint32_t chains) {
  std::uint32_t best = kNoFreeEntry;
  std::uint64_t best_timestamp = 0;
  for (std::uint32_t i = 0; i < chains; ++i) {
    const std::uint8_t* d = image.data() + checked_descriptor_offset(image, kind, i, chains);
    if (!descriptor_crc_valid(d)) continue;
    // Equal timestamps are those of replicas no commit has stamped (0 in
    // a new TSDB). The first commit of a kind writes replica 0 while its
    // timestamp is still 0, so of equal ones the last is the one that
    // nothing has begun to overwrite.
    const std::uint64_t timestamp = decode_descriptor(d).timestamp;
    if (best == kNoFreeEntry || timestamp >= best_timestamp) {
      best = i;
      best_timestamp = timestamp;
    }
  }
  return best;
}

void encode_chain_block_header(std::uint8_t* block, const ChainBlockHeader& header) {
  support::store_be32(block + kBlockMagicAt, header.magic);
  support::store_be32(block + kNextBlockAt, header.next_block);
  support::store_be32(block + kReplicaAt, header.replica);
  support::store_be32(block + kPositionAt, header.position);
}

ChainBlockHeader decode_chain_block_header(const std::uint8_t* block) {
  ChainBlockHeader header;
  header.magic = support::load_be32(block + kBlockMagicAt);
  header.next_block = support::load_be32(block + kNextBlockAt);
  header.replica = support::load_be32(block + kReplicaAt);
  header.position = support::load_be32(block + kPositionAt);
  return header;
}

void encode_next_block(std::uint8_t* block, std::uint32_t next_block) {
  support::store_be32(block + kNextBlockAt, next_block);
}

std::uint32_t entry_offset(const ChainKind& kind, std::uint32_t slot) {
  return kChainBlockHeaderSize + slot * kind.entry_size;
}

void encode_entry(std::uint8_t* entry, const ChainKind& kind, const EntryValue& value) {
  for (std::uint32_t w = 0; w < kind.entry_size / 4; ++w) {
    support::store_be32(entry + 4 * w, value[w]);
  }
}

EntryValue decode_entry(const std::uint8_t* entry, const ChainKind& kind) {
  EntryValue value{};
  for (std::uint32_t w = 0; w < kind.entry_size / 4; ++w) {
    value[w] = support::load_be32(entry + 4 * w);
  }
  return value;
}

bool entry_is_free(const std::uint8_t* entry) { return support::load_be32(entry) == 0; }

}  // namespace tsdb
