#include "server/database/tsdb/chains.h"

#include <gtest/gtest.h>

#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/support/hash.h"
#include "server/database/support/test_util.h"
#include "server/database/tsdb/creation.h"
#include "server/database/tsdb/tsdb_state.h"
#include "server/database/tsdb/tsdb_test_util.h"

namespace tsdb {
namespace {

using testing_util::expect_error;

using support::load_be32;
using tsdb_testing::read_block;

class ChainsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tsdb_testing::open_empty_store(tsdb_, path(), kBlockSize);
    tsdb_.store.btb_Grow(64);
    tsdb_.allocator.bitmap_init(64);
    tsdb_.diagnostics.set(0);
    tsdb_create_header(tsdb_, kBlockSize, 3);
  }

  std::string path() const { return dir_.file("chains.tsdb"); }
  std::vector<std::uint8_t> block(std::uint32_t n) const {
    return read_block(path(), kBlockSize, n);
  }

  static constexpr std::uint32_t kBlockSize = 8192;
  testing_util::TempDir dir_;
  TsdbState tsdb_;
};

TEST_F(ChainsTest, EntryAddressingCrossesElements) {
  PointerChain& chain = tsdb_.replicas_of(kLblockChain)[1];
  chain_append(tsdb_, chain, 1, 1);
  chain_append(tsdb_, chain, 5, 2);
  EXPECT_EQ(chain_capacity(chain), 511u + 1022u);
  EXPECT_FALSE(chain_is_dirty(chain));

  chain_set_entry(chain, 600, {7, 8, 9, 10});
  EXPECT_FALSE(chain.elements[0].dirty);
  ASSERT_TRUE(chain.elements[1].dirty);
  // Entry 600 is entry 89 of the second element: block 0, slot 89.
  const std::uint8_t* entry = chain.elements[1].buffer.data() + 1440;
  EXPECT_EQ(load_be32(entry), 7u);
  EXPECT_EQ(load_be32(entry + 12), 10u);
  EXPECT_EQ(chain_entry(chain, 600), (EntryValue{7, 8, 9, 10}));
  chain_set_entry(chain, 1532, {1, 2, 3, 4});  // the very last entry
  EXPECT_EQ(load_be32(chain.elements[1].buffer.data() + 8192 + 16 + 510 * 16),
            1u);

  expect_error<error_internal>(
      [&] { chain_set_entry(chain, 1533, {1, 1, 1, 1}); },
      "Pointer for lblock 1533 does not exist in chain 1");

  // Only the element write puts the entry on disk.
  EXPECT_EQ(load_be32(block(5).data() + 1440), 0u);
  chain_write(tsdb_, chain);
  EXPECT_FALSE(chain_is_dirty(chain));
  EXPECT_EQ(load_be32(block(5).data() + 1440), 7u);
}

// Block headers of new replicas are checked end to end with the tool.
TEST_F(ChainsTest, LinkChangesMarkTheElementDirty) {
  PointerChain& chain = tsdb_.replicas_of(kCheckChain)[2];
  chain_append(tsdb_, chain, 40, 3);
  elm_set_next(chain.layout, chain.elements[0], 13);
  EXPECT_TRUE(chain_is_dirty(chain));
  EXPECT_EQ(load_be32(chain.elements[0].buffer.data() + 2 * 8192 + 4), 13u);
  EXPECT_THROW(ChainElm(9, 0), error_consistency);
}

TEST_F(ChainsTest, ChainWriteWritesCleanElementsToo) {
  PointerChain& chain = tsdb_.replicas_of(kHeadChain)[0];
  chain_append(tsdb_, chain, 2, 1);
  const std::vector<std::uint8_t> built = block(2);
  std::vector<std::uint8_t> junk(kBlockSize, 0x5A);
  tsdb_.store.btb_WriteFile(2, junk.data(), 1);
  ASSERT_FALSE(chain_is_dirty(chain));
  chain_write(tsdb_, chain);
  EXPECT_EQ(block(2), built);
}

TEST_F(ChainsTest, FirstFreeEntry) {
  PointerChain& check = tsdb_.replicas_of(kCheckChain)[0];
  chain_append(tsdb_, check, 1, 1);
  EXPECT_EQ(chain_first_free(tsdb_, check), 0u);
  chain_set_entry(check, 0, {4, 1});
  EXPECT_EQ(chain_first_free(tsdb_, check), 1u);

  PointerChain& lblock = tsdb_.replicas_of(kLblockChain)[0];
  chain_append(tsdb_, lblock, 2, 1);
  chain_append(tsdb_, lblock, 3, 1);
  EXPECT_EQ(chain_first_free(tsdb_, lblock), 0u);
  for (std::uint32_t e = 0; e < 511; ++e) chain_set_entry(lblock, e, {e + 1});
  EXPECT_EQ(chain_first_free(tsdb_, lblock), 511u);
  // Only the first word tells whether an entry is in use.
  chain_set_entry(lblock, 511, {0, 5, 5, 5});
  EXPECT_EQ(chain_first_free(tsdb_, lblock), 511u);
  for (std::uint32_t e = 511; e < 1022; ++e) chain_set_entry(lblock, e, {1});
  EXPECT_EQ(chain_first_free(tsdb_, lblock), kNoFreeEntry);

  EXPECT_THROW(chain_first_free(tsdb_, tsdb_.replicas_of(kTailChain)[0]),
               error_internal);
}

TEST_F(ChainsTest, FirstFreeTraces) {
  PointerChain& lblock = tsdb_.replicas_of(kLblockChain)[0];
  chain_append(tsdb_, lblock, 2, 1);
  chain_append(tsdb_, lblock, 3, 1);
  for (std::uint32_t e = 0; e < 511 + 3; ++e) chain_set_entry(lblock, e, {1});
  PointerChain& check = tsdb_.replicas_of(kCheckChain)[0];
  chain_append(tsdb_, check, 4, 1);
  chain_set_entry(check, 0, {4, 1});

  tsdb_.diagnostics.set(0x0F);
  testing::internal::CaptureStderr();
  EXPECT_EQ(chain_first_free(tsdb_, lblock), 514u);
  EXPECT_EQ(chain_first_free(tsdb_, check), 1u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Searching lblock offset 0\n"
            "No pointers in this lblockblocks were 0\n"
            "ChainElm returned 4294967295 as the first free lblock\n"
            "Stepping up to next 511 lblocks...\n"
            "Searching lblock offset 511\n"
            " ptr #3 in block #0 was 0\n"
            "ChainElm returned 3 as the first free lblock\n"
            "Searching lblock offset 0\n"
            " cptr #1 in block #0 had 0 datatype\n"
            "ChainElm returned 1 as the first free lblock\n");
}

TEST_F(ChainsTest, NewTimestampRefreshesDescriptorAndWritesHeader) {
  PointerChain& tail = tsdb_.replicas_of(kTailChain)[1];
  chain_append(tsdb_, tail, 9, 1);
  chain_new_timestamp(tsdb_, tail);

  const std::vector<std::uint8_t> header = block(0);
  EXPECT_EQ(header, tsdb_.header_image);
  const std::uint8_t* descriptor =
      header.data() + descriptor_offset(kTailChain, 1, 3);
  const std::vector<std::uint8_t> covered(descriptor, descriptor + 12);
  EXPECT_EQ(covered, (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 1, 0, 0,
                                                0, 9}));
  EXPECT_EQ(load_be32(descriptor + 12), security::crc32_of(descriptor, 12));

  tsdb_.diagnostics.set(0x0F);
  testing::internal::CaptureStderr();
  chain_new_timestamp(tsdb_, tail);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "New timestamp for chain 1 in block 0 is 2 (re-read: 2)\n");
  EXPECT_EQ(block(0)[descriptor_offset(kTailChain, 1, 3) + 7], 2);
}

}  // namespace
}  // namespace tsdb
