#include "server/database/tsdb/format.h"

#include <gtest/gtest.h>

#include <vector>

namespace tsdb {
namespace {

// Header and chain block bytes of new files are checked end to end with the
// tool; these are the parts a new file does not show.
TEST(FormatTest, ReaderSelectsNewestReplicaWithAValidCrc) {
  std::vector<std::uint8_t> image(1024, 0);
  encode_header(image, 1024, 0, 3);
  EXPECT_EQ(select_replica(image, kLblockChain, 3), kNoFreeEntry);
  for (std::uint32_t i = 0; i < 3; ++i) {
    encode_descriptor(image.data() + descriptor_offset(kLblockChain, i, 3), 0,
                      10 + i);
  }
  EXPECT_EQ(select_replica(image, kLblockChain, 3), 0u);  // tie: lowest
  std::uint8_t* second = image.data() + descriptor_offset(kLblockChain, 1, 3);
  std::uint8_t* third = image.data() + descriptor_offset(kLblockChain, 2, 3);
  encode_descriptor(second, 1, 11);
  EXPECT_EQ(select_replica(image, kLblockChain, 3), 1u);
  // A timestamp change alone leaves the old CRC, which no longer matches:
  // a newer timestamp with a broken CRC (a torn header write) is ignored.
  encode_descriptor_timestamp(third, 0x100000002ull);
  EXPECT_EQ(third[3], 1);
  EXPECT_EQ(third[7], 2);
  EXPECT_FALSE(descriptor_crc_valid(third));
  EXPECT_TRUE(descriptor_crc_valid(second));
  EXPECT_EQ(select_replica(image, kLblockChain, 3), 1u);
}

TEST(FormatTest, CheckEntryIsTwoWordsAndLeavesTheRestUntouched) {
  std::vector<std::uint8_t> block(1024, 0);
  encode_chain_block_header(block.data(), {kCheckChain.magic, 41, 2, 0});
  encode_next_block(block.data(), 42);
  EXPECT_EQ(decode_chain_block_header(block.data()).next_block, 42u);

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
