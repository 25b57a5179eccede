#include "server/database/tsdb/format.h"

#include <gtest/gtest.h>

#include <vector>

#include "server/database/support/hash.h"

namespace tsdb {
namespace {

TEST(FormatTest, DescriptorsAreOrderedByKindThenReplica) {
  EXPECT_EQ(descriptor_offset(kHeadChain, 0, 3), 24u);
  EXPECT_EQ(descriptor_offset(kTailChain, 0, 3), 72u);
  EXPECT_EQ(descriptor_offset(kCheckChain, 1, 3), 184u);
  // The last descriptor with five replicas ends at byte 344.
  EXPECT_EQ(descriptor_offset(kCheckChain, 4, 5) + kDescriptorSize, 344u);
}

TEST(FormatTest, DescriptorCrcCoversTimestampAndFirstBlock) {
  std::uint8_t descriptor[16] = {};
  encode_descriptor(descriptor, 0, 5);
  const std::uint8_t covered[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
  const ChainDescriptor decoded = decode_descriptor(descriptor);
  EXPECT_EQ(decoded.timestamp, 0u);
  EXPECT_EQ(decoded.first_block, 5u);
  EXPECT_EQ(decoded.crc, security::crc32_of(covered, 12));
  EXPECT_TRUE(descriptor_crc_valid(descriptor));

  // A timestamp change alone leaves the old CRC, which no longer matches.
  encode_descriptor_timestamp(descriptor, 0x100000002ull);
  EXPECT_EQ(descriptor[3], 1);
  EXPECT_EQ(descriptor[7], 2);
  EXPECT_FALSE(descriptor_crc_valid(descriptor));
}

TEST(FormatTest, ReaderSelectsNewestValidReplica) {
  std::vector<std::uint8_t> image(1024, 0);
  encode_header(image, 1024, 0, 3);
  EXPECT_EQ(select_replica(image, kLblockChain, 3), kNoFreeEntry);
  for (std::uint32_t i = 0; i < 3; ++i) {
    encode_descriptor(image.data() + descriptor_offset(kLblockChain, i, 3), 0,
                      10 + i);
  }
  EXPECT_EQ(select_replica(image, kLblockChain, 3), 0u);  // tie: lowest
  std::uint8_t* second =
      image.data() + descriptor_offset(kLblockChain, 1, 3);
  std::uint8_t* third = image.data() + descriptor_offset(kLblockChain, 2, 3);
  encode_descriptor(second, 1, 11);
  EXPECT_EQ(select_replica(image, kLblockChain, 3), 1u);
  // A newer timestamp with a broken CRC (a torn header write) is ignored.
  encode_descriptor_timestamp(third, 7);
  EXPECT_EQ(select_replica(image, kLblockChain, 3), 1u);
}

TEST(FormatTest, ChainBlocksAndEntriesRoundTrip) {
  std::vector<std::uint8_t> block(1024, 0);
  encode_chain_block_header(block.data(), {kCheckChain.magic, 41, 2, 0});
  encode_next_block(block.data(), 42);
  const ChainBlockHeader header = decode_chain_block_header(block.data());
  EXPECT_EQ(std::string(block.begin(), block.begin() + 4), "CHCK");
  EXPECT_EQ(header.next_block, 42u);
  EXPECT_EQ(header.replica, 2u);

  // A check entry is two words; the bytes after it stay untouched.
  const std::uint32_t at = entry_offset(kCheckChain, 3);
  EXPECT_EQ(at, 16u + 24u);
  encode_entry(block.data() + at, kCheckChain, {4, 1, 9, 9});
  EXPECT_EQ(decode_entry(block.data() + at, kCheckChain),
            (EntryValue{4, 1, 0, 0}));
  EXPECT_EQ(block[at + 8], 0);
  EXPECT_FALSE(entry_is_free(block.data() + at));
  EXPECT_TRUE(entry_is_free(block.data() + at + 8));
}

}  // namespace
}  // namespace tsdb
