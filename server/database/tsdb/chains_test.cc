// Pointer chains on real TSDB files: descriptors and the replica a reader picks, entries across
// chain elements, the first free entry, growth and copies of replicas. Commits under power cuts
// are in power_loss_test.cc; header and block bytes of new files are checked end to end with the
// tool.
#include "server/database/tsdb/chains.h"

#include <gtest/gtest.h>

#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/tsdb/pointer_chain_growth.h"
#include "server/database/tsdb/tsdb_test_util.h"

namespace tsdb {
namespace {

using support::load_be32;
using testing_util::expect_error;
using testing_util::stderr_of;
using ChainsTest = tsdb_testing::CreatedTsdbTest;

TEST(FormatTest, ReaderSelectsNewestReplicaWithAValidCrc) {
  std::vector<std::uint8_t> image(1024, 0);
  encode_header(image, 1024, 0, 3);
  EXPECT_EQ(select_replica(image, kLblockChain, 3), kNoFreeEntry);
  for (std::uint32_t i = 0; i < 3; ++i) {
    encode_descriptor(image.data() + descriptor_offset(kLblockChain, i, 3), 0, 10 + i);
  }
  // A tie: replica 0, the one a first commit writes, is not taken.
  EXPECT_EQ(select_replica(image, kLblockChain, 3), 2u);
  std::uint8_t* second = image.data() + descriptor_offset(kLblockChain, 1, 3);
  std::uint8_t* third = image.data() + descriptor_offset(kLblockChain, 2, 3);
  encode_descriptor(second, 1, 11);
  EXPECT_EQ(select_replica(image, kLblockChain, 3), 1u);
  // A newer timestamp under the old CRC (a torn header write) is ignored.
  encode_descriptor_timestamp(third, 0x100000002ull);
  EXPECT_EQ(third[3] + third[7], 3);
  EXPECT_FALSE(descriptor_crc_valid(third));
  EXPECT_EQ(select_replica(image, kLblockChain, 3), 1u);

  // A check entry is two words and leaves the rest of its slot untouched.
  std::vector<std::uint8_t> block(1024, 0);
  const std::uint32_t at = entry_offset(kCheckChain, 3);
  EXPECT_EQ(at, 16u + 24u);
  encode_entry(block.data() + at, kCheckChain, {4, 1, 9, 9});
  EXPECT_EQ(decode_entry(block.data() + at, kCheckChain), (EntryValue{4, 1, 0, 0}));
  EXPECT_TRUE(entry_is_free(block.data() + at + 8));
}

TEST_F(ChainsTest, EntriesAcrossElementsReachTheDiskWithTheirElement) {
  create(3, 8192);  // replicas in blocks 1 to 12, block 13 the first free
  PointerChain& chain = tsdb_.replicas_of(kLblockChain)[1];
  chain_append(tsdb_, chain, 13, 1);
  chain_append(tsdb_, chain, 14, 2);
  EXPECT_EQ(chain_capacity(chain), 511u * 4);
  chain_set_entry(chain, 600, {7, 8, 9, 10});
  EXPECT_FALSE(chain.elements[0].dirty);
  ASSERT_TRUE(chain.elements[1].dirty);
  // Entry 600 is entry 89 of the second element: block 0, slot 89.
  EXPECT_EQ(load_be32(chain.elements[1].buffer.data() + 1440), 7u);
  EXPECT_EQ(chain_entry(chain, 600), (EntryValue{7, 8, 9, 10}));
  expect_error<error_internal>(
      [&] {
        chain_set_entry(chain, 2044, {1, 1, 1, 1});
      },
      "Pointer for lblock 2044 does not exist in chain 1");
  EXPECT_THROW(ChainElm(9, 0), error_consistency);
}

TEST_F(ChainsTest, FirstFreeEntry) {
  create(3, 8192);
  PointerChain& lblock = tsdb_.replicas_of(kLblockChain)[0];
  chain_append(tsdb_, lblock, 13, 1);
  for (std::uint32_t e = 0; e < 511 + 3; ++e) chain_set_entry(lblock, e, {1});
  // Only the first word tells whether an entry is in use.
  chain_set_entry(lblock, 514, {0, 5, 5, 5});
  PointerChain& check = tsdb_.replicas_of(kCheckChain)[0];
  chain_set_entry(check, 0, {4, 1});
  EXPECT_EQ(chain_first_free(tsdb_, lblock), 514u);
  EXPECT_EQ(chain_first_free(tsdb_, check), 1u);
  EXPECT_THROW(chain_first_free(tsdb_, tsdb_.replicas_of(kTailChain)[0]), error_internal);
}

TEST_F(ChainsTest, GrowthAndCopiesOfReplicas) {
  create(2, 1024);  // 1024 blocks, replicas in blocks 1 to 8
  PointerChain& src = tsdb_.replicas_of(kHeadChain)[0];
  EXPECT_EQ(stderr_of([&] { chain_grow(tsdb_, src, 2); }),
            "Chain 0 in chain-block 0 was grown with 2 blocks to 2 chain "
            "elements (756 pointers)\n");
  // The link lives in memory until the replica is written again.
  EXPECT_EQ(decode_chain_block_header(block(1).data()).next_block, 0u);
  for (std::uint32_t e = 0; e < 3 * 252; ++e) chain_set_entry(src, e, {e + 1});
  chain_new_timestamp(tsdb_, src);

  PointerChain& dst = tsdb_.replicas_of(kHeadChain)[1];
  const std::uint8_t* dst_descriptor =
      tsdb_.header_image.data() + descriptor_offset(kHeadChain, 1, 2);
  const std::uint32_t dst_crc = decode_descriptor(dst_descriptor).crc;
  EXPECT_EQ(stderr_of([&] { chain_copy(tsdb_, dst, src); }),
            "Allocating extra blocks needed to copy chain 0 into chain 1\n"
            "Chain 1 in chain-block 0 was grown with 2 blocks to 2 chain "
            "elements (756 pointers)\n");
  for (std::uint32_t e = 0; e < 3 * 252; ++e) {
    ASSERT_EQ(chain_entry(dst, e), chain_entry(src, e));
  }
  // The destination takes the source's timestamp under its old CRC.
  EXPECT_EQ(decode_descriptor(dst_descriptor).timestamp, 1u);
  EXPECT_EQ(decode_descriptor(dst_descriptor).crc, dst_crc);

  // Growth past the end of a full store extends it.
  ASSERT_EQ(tsdb_.allocator.alloc_blocks(1024 - 13), 13u);
  EXPECT_EQ(stderr_of([&] { chain_grow(tsdb_, tsdb_.replicas_of(kCheckChain)[1], 2); }),
            "Growing TSDB with 100 blocks\n"
            "Chain 1 in chain-block 0 was grown with 2 blocks to 2 chain "
            "elements (378 pointers)\n");
  EXPECT_EQ(tsdb_.store.btb_BlockCount(), 1124u);
}

}  // namespace
}  // namespace tsdb
