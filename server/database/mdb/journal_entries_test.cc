#include "server/database/mdb/journal_entries.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace mdb {
namespace {

TEST(JournalEntriesTest, UpdateSizesRoundUpToEight) {
  EXPECT_EQ(update_entry_size(0), 24u);
  EXPECT_EQ(update_entry_size(4), 24u);
  EXPECT_EQ(update_entry_size(5), 32u);
  EXPECT_EQ(update_entry_size(0xFFFFFFFFu), 0x100000018u);  // no overflow
}

TEST(JournalEntriesTest, EntriesHaveTheirByteLayout) {
  std::vector<std::uint8_t> buf(64, 0xCC);
  encode_tbeg(buf.data(), 0x0102030405060708ull);
  const std::uint8_t tbeg[16] = {'T', 'B', 'E', 'G', 0, 0, 0, 0,
                                 1,   2,   3,   4,   5, 6, 7, 8};
  EXPECT_EQ(std::memcmp(buf.data(), tbeg, 16), 0);
  EXPECT_EQ(entry_magic(buf.data()), kTbegMagic);
  EXPECT_EQ(tbeg_serial(buf.data()), 0x0102030405060708ull);

  std::fill(buf.begin(), buf.end(), 0xCC);
  const std::uint8_t data[5] = {9, 8, 7, 6, 5};
  encode_tupd(buf.data(), data, 5, 0x1122334455ull);
  const std::uint8_t tupd[32] = {'T', 'U', 'P', 'D', 0, 0,    0,    5,
                                 0,   0,   0,   0x11, 0x22, 0x33, 0x44, 0x55,
                                 0,   0,   0,   0,    9,    8,    7,    6,
                                 5,   0,   0,   0,    0,    0,    0,    0};
  EXPECT_EQ(std::memcmp(buf.data(), tupd, 32), 0);
  EXPECT_EQ(buf[32], 0xCC);  // nothing written past the entry
  const UpdateEntry update = decode_tupd(buf.data());
  EXPECT_EQ(update.data_length, 5u);
  EXPECT_EQ(update.target, 0x1122334455ull);
  EXPECT_EQ(update.data, buf.data() + 20);
  EXPECT_EQ(update.size, 32u);

  encode_tend(buf.data(), 0xDEADBEEF);
  const std::uint8_t tend[8] = {'T', 'E', 'N', 'D', 0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_EQ(std::memcmp(buf.data(), tend, 8), 0);
  EXPECT_EQ(tend_crc(buf.data()), 0xDEADBEEFu);

  encode_tred(buf.data(), 504);
  EXPECT_EQ(entry_magic(buf.data()), kTredMagic);
  EXPECT_EQ(tred_target(buf.data()), 504u);
}

}  // namespace
}  // namespace mdb
