// The bytes of a TSDB file: header, chain descriptors, chain blocks and
// entries.
//
// This file owns every layout decision of the format; all other TSDB code
// encodes and decodes through it and never computes an offset itself.
// Invariants kept here:
//   - every integer is stored big-endian through support::store_be32/64;
//   - a descriptor written by encode_descriptor always carries the CRC-32 of
//     its first 12 bytes;
//   - the descriptor of replica i of kind k lies at
//     kDescriptorsOffset + kDescriptorSize * (k * N + i);
//   - decoders that take a header image check the image's size and the
//     chain count against the format's limits before they read, and throw
//     tsdb::error_consistency on a damaged image.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace tsdb {

inline constexpr std::uint32_t kHeaderMagic = 0x54534442;  // "TSDB"
inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::uint32_t kDescriptorsOffset = 24;
inline constexpr std::uint32_t kDescriptorSize = 16;
inline constexpr std::uint32_t kChainBlockHeaderSize = 16;
inline constexpr std::uint32_t kChainKindCount = 4;
inline constexpr std::uint32_t kMinBlockSize = 1024;
inline constexpr std::uint32_t kMaxBlockSize = 16384;
inline constexpr std::uint32_t kMinChains = 2;
inline constexpr std::uint32_t kMaxChains = 5;
// Returned by the first-free searches when every entry is in use.
inline constexpr std::uint32_t kNoFreeEntry = 0xFFFFFFFF;

// Everything that distinguishes the four chain kinds. The chain code is
// written once and reads its kind-specific values from here.
struct ChainKind {
  std::uint32_t number;           // 0 head, 1 tail, 2 lblock, 3 check
  std::uint32_t magic;            // block magic of every chain block
  std::uint32_t entry_size;       // bytes per entry, a multiple of 4
  const char* name;               // "head" as in "Creating head chain #0..."
  const char* title;              // "Head" as in rotation messages
  bool has_free_test;             // entries are free when their first word is 0
  const char* free_found_prefix;  // trace of a free entry: prefix slot
  const char* free_found_suffix;  // ... " in block #" block suffix
  const char* none_free_text;     // trace when an element is full
  bool traces_ht_writes;          // head and tail trace "Will write ... HT data"
};

inline constexpr ChainKind kHeadChain{0, 0x48454144, 4, "head", "Head", false, "", "", "", true};
inline constexpr ChainKind kTailChain{1, 0x5441494C, 4, "tail", "Tail", false, "", "", "", true};
inline constexpr ChainKind kLblockChain{
    2,        0x4C42414C, 16,
    "lblock", "LBlock",   true,
    " ptr #", " was 0",   "No pointers in this lblockblocks were 0",
    false};
inline constexpr ChainKind kCheckChain{
    3,         0x4348434B,        8,
    "check",   "Check",           true,
    " cptr #", " had 0 datatype", "No pointers in this checkblocks were 0",
    false};

// The kinds in number order, which is also descriptor order.
inline constexpr std::array<const ChainKind*, kChainKindCount> kChainKinds{
    &kHeadChain, &kTailChain, &kLblockChain, &kCheckChain};

// The words of one entry; only entry_size / 4 of them are used: one for
// head and tail, {first dblock, count, next lblock, level parameter} for
// lblock, {datatype, first lblock} for check.
using EntryValue = std::array<std::uint32_t, 4>;

// Entries that fit in one chain block of `block_size` bytes.
std::uint32_t entries_per_block(const ChainKind& kind, std::uint32_t block_size);

// True for a power of two from kMinBlockSize to kMaxBlockSize.
bool valid_block_size(std::uint32_t block_size);

// ---- Header (block 0) ----

struct HeaderFields {
  std::uint32_t magic = 0;
  std::uint32_t version = 0;
  std::uint32_t block_size = 0;
  std::uint32_t reserved = 0;
  std::uint32_t creation_time = 0;
  std::uint32_t chains = 0;
};

// Zero-fills `image` and writes the fixed fields; descriptors stay zero.
// REQUIRES: image.size() >= kDescriptorsOffset + kDescriptorSize * 4 * chains.
void encode_header(std::span<std::uint8_t> image, std::uint32_t block_size,
                   std::uint32_t creation_time, std::uint32_t chains);
// Fails with error_consistency when the image is shorter than the fixed
// fields (kDescriptorsOffset bytes).
HeaderFields decode_header(std::span<const std::uint8_t> image);

// ---- Chain descriptors ----

struct ChainDescriptor {
  std::uint64_t timestamp = 0;
  std::uint32_t first_block = 0;
  std::uint32_t crc = 0;
};

// Byte offset in the header of the descriptor of replica `replica` of
// `kind` in a TSDB with `chains` replicas per kind.
std::uint32_t descriptor_offset(const ChainKind& kind, std::uint32_t replica, std::uint32_t chains);

// descriptor_offset after checking it against a header image. Fails with
// error_consistency when `chains` lies outside kMinChains .. kMaxChains,
// `replica` is not below it, or the descriptor would end past the image.
std::uint32_t checked_descriptor_offset(std::span<const std::uint8_t> image, const ChainKind& kind,
                                        std::uint32_t replica, std::uint32_t chains);

// Writes timestamp and first block at `descriptor` and the CRC-32 of those
// 12 bytes after them. REQUIRES: 16 bytes at descriptor.
void encode_descriptor(std::uint8_t* descriptor, std::uint64_t timestamp,
                       std::uint32_t first_block);
// Replaces only the timestamp; first block and CRC stay as they are.
void encode_descriptor_timestamp(std::uint8_t* descriptor, std::uint64_t timestamp);
ChainDescriptor decode_descriptor(const std::uint8_t* descriptor);
// True when the stored CRC matches the first 12 bytes.
bool descriptor_crc_valid(const std::uint8_t* descriptor);

// The replica a reader should use for `kind`: among the descriptors whose
// CRC is valid, the one with the highest timestamp (the highest replica
// index on a tie). kNoFreeEntry when no descriptor of the kind is valid.
// Fails like checked_descriptor_offset when the count or the image cannot
// hold the descriptors.
std::uint32_t select_replica(std::span<const std::uint8_t> image, const ChainKind& kind,
                             std::uint32_t chains);

// ---- Chain blocks ----

struct ChainBlockHeader {
  std::uint32_t magic = 0;
  std::uint32_t next_block = 0;
  std::uint32_t replica = 0;
  std::uint32_t position = 0;
};

// REQUIRES: kChainBlockHeaderSize bytes at block.
void encode_chain_block_header(std::uint8_t* block, const ChainBlockHeader& header);
ChainBlockHeader decode_chain_block_header(const std::uint8_t* block);
// Rewrites only the next-block field of a chain block.
void encode_next_block(std::uint8_t* block, std::uint32_t next_block);

// ---- Entries ----

// Byte offset of entry slot `slot` inside its chain block.
std::uint32_t entry_offset(const ChainKind& kind, std::uint32_t slot);
// REQUIRES: kind.entry_size bytes at entry.
void encode_entry(std::uint8_t* entry, const ChainKind& kind, const EntryValue& value);
EntryValue decode_entry(const std::uint8_t* entry, const ChainKind& kind);
// True when the entry is free: its first word is 0 (lblock and check).
bool entry_is_free(const std::uint8_t* entry);

}  // namespace tsdb
