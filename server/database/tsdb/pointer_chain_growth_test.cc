#include "server/database/tsdb/pointer_chain_growth.h"

#include <gtest/gtest.h>

#include "server/database/support/test_util.h"

#include "server/database/support/big_endian.h"
#include "server/database/tsdb/chains.h"
#include "server/database/tsdb/tsdb_test_util.h"

namespace tsdb {
namespace {

using testing_util::stderr_of;
using support::load_be32;

class ChainGrowthTest : public tsdb_testing::CreatedTsdbTest {
 protected:
  std::string grow(PointerChain& chain, std::uint32_t n) {
    return stderr_of([&] { chain_grow(tsdb_, chain, n); });
  }
  static std::vector<EntryValue> entries(const PointerChain& chain) {
    std::vector<EntryValue> all;
    for (std::uint32_t e = 0; e < chain_capacity(chain); ++e) {
      all.push_back(chain_entry(chain, e));
    }
    return all;
  }
};

TEST_F(ChainGrowthTest, GrowthAppendsALinkedElementWrittenAtOnce) {
  create(3, 8192);  // replicas in blocks 1 to 12, block 13 the first free
  PointerChain& head = tsdb_.replicas_of(kHeadChain)[0];
  EXPECT_EQ(grow(head, 1),
            "Chain 0 in chain-block 0 was grown with 1 blocks to 2 chain "
            "elements (4088 pointers)\n");
  ASSERT_EQ(head.elements.size(), 2u);
  EXPECT_EQ(head.elements[1].first, 13u);
  // The link lives in memory until the replica is written again.
  EXPECT_TRUE(head.elements[0].dirty);
  EXPECT_EQ(load_be32(head.elements[0].buffer.data() + 4), 13u);
  EXPECT_EQ(decode_chain_block_header(block(1).data()).next_block, 0u);
  const ChainBlockHeader added = decode_chain_block_header(block(13).data());
  EXPECT_EQ(added.magic, kHeadChain.magic);
  EXPECT_EQ(added.next_block, 0u);
  EXPECT_EQ(added.position, 0u);
  chain_write(tsdb_, head);
  EXPECT_EQ(decode_chain_block_header(block(1).data()).next_block, 13u);
}

TEST_F(ChainGrowthTest, GrowthExtendsAFullStore) {
  create(2, 1024);  // 1024 blocks, replicas in blocks 1 to 8
  ASSERT_EQ(tsdb_.allocator.alloc_blocks(1015), 9u);
  PointerChain& check = tsdb_.replicas_of(kCheckChain)[1];
  EXPECT_EQ(grow(check, 2),
            "Growing TSDB with 100 blocks\n"
            "Chain 1 in chain-block 0 was grown with 2 blocks to 2 chain "
            "elements (378 pointers)\n");
  EXPECT_EQ(check.elements[1].first, 1024u);
  EXPECT_EQ(tsdb_.store.btb_BlockCount(), 1124u);
  EXPECT_EQ(decode_chain_block_header(block(1025).data()).position, 1u);
}

TEST_F(ChainGrowthTest, CopyGrowsTheDestinationAndCopiesEveryEntry) {
  create(2, 1024);
  PointerChain& src = tsdb_.replicas_of(kHeadChain)[0];
  PointerChain& dst = tsdb_.replicas_of(kHeadChain)[1];
  grow(src, 2);  // blocks 1 and 9..10: 3 * 252 entries
  for (std::uint32_t e = 0; e < 3 * 252; ++e) chain_set_entry(src, e, {e + 1});
  chain_new_timestamp(tsdb_, src);
  const std::uint8_t* dst_descriptor =
      tsdb_.header_image.data() + descriptor_offset(kHeadChain, 1, 2);
  const std::uint32_t dst_crc = decode_descriptor(dst_descriptor).crc;
  const std::vector<std::uint8_t> header_on_disk = block(0);

  EXPECT_EQ(stderr_of([&] { chain_copy(tsdb_, dst, src); }),
            "Allocating extra blocks needed to copy chain 0 into chain 1\n"
            "Chain 1 in chain-block 0 was grown with 2 blocks to 2 chain "
            "elements (756 pointers)\n");
  EXPECT_EQ(dst.elements[1].count, 2u);
  EXPECT_EQ(entries(dst), entries(src));
  // The destination keeps its own block headers.
  const ChainBlockHeader second = decode_chain_block_header(
      dst.elements[1].buffer.data() + 1024);
  EXPECT_EQ(second.replica, 1u);
  EXPECT_EQ(second.position, 1u);
  // Copied entries wait for the destination's commit.
  EXPECT_FALSE(dst.elements[1].dirty);
  EXPECT_EQ(load_be32(block(11).data() + 16), 0u);
  // The source's timestamp, the destination's old CRC, nothing written.
  EXPECT_EQ(decode_descriptor(dst_descriptor).timestamp, 1u);
  EXPECT_EQ(decode_descriptor(dst_descriptor).crc, dst_crc);
  EXPECT_EQ(block(0), header_on_disk);

  // Equal capacities: nothing allocated, nothing printed.
  chain_set_entry(src, 755, {9999});
  EXPECT_EQ(stderr_of([&] { chain_copy(tsdb_, dst, src); }), "");
  EXPECT_EQ(dst.elements.size(), 2u);
  EXPECT_EQ(chain_entry(dst, 755), (EntryValue{9999}));
}

TEST_F(ChainGrowthTest, CopyBetweenDifferentElementShapes) {
  create(2, 1024);
  tsdb_.diagnostics.set(0);
  PointerChain& src = tsdb_.replicas_of(kLblockChain)[0];  // 1, 2, 1 blocks
  chain_grow(tsdb_, src, 2);
  chain_grow(tsdb_, src, 1);
  PointerChain dst(kLblockChain, 1024, 1);  // 3, 1 blocks
  chain_append(tsdb_, dst, tsdb_.allocator.alloc_blocks(3), 3);
  chain_append(tsdb_, dst, tsdb_.allocator.alloc_blocks(1), 1);
  for (std::uint32_t e = 0; e < 4 * 63; ++e) {
    chain_set_entry(src, e, {e + 1, e + 2, e + 3, e + 4});
  }
  chain_copy(tsdb_, dst, src);
  EXPECT_EQ(entries(dst), entries(src));
  EXPECT_EQ(
      decode_chain_block_header(dst.elements[0].buffer.data() + 2048).position,
      2u);
}

}  // namespace
}  // namespace tsdb
