#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "server/database/support/hash.h"

namespace {

TEST(Crc32, CheckValueEmptyInputAndFinalBytes) {
  security::Crc32 crc;
  EXPECT_EQ(crc.value(), 0u);  // no bytes
  crc.update(9, "123456789");
  EXPECT_EQ(crc.value(), 0xCBF43926u);
  std::array<std::uint8_t, 4> out;
  crc.final(out.data());
  EXPECT_EQ(out, (std::array<std::uint8_t, 4>{0xCB, 0xF4, 0x39, 0x26}));

  // Byte by byte, after a reset, gives the same value.
  crc.reset();
  for (char c : std::string("123456789")) crc.update_byte(std::uint8_t(c));
  EXPECT_EQ(crc.value(), 0xCBF43926u);
  EXPECT_EQ(security::crc32_of("123456789", 9), 0xCBF43926u);
}

TEST(Md5, Rfc1321TestSuite) {
  const struct {
    const char* input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890"
       "1234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(security::md5_hex(c.input), c.digest) << '"' << c.input << '"';
  }
}

TEST(Md5, PiecewiseUpdatesAcrossBlockBoundaries) {
  // 56 to 64 bytes of input force the padding into a second block.
  for (std::size_t n = 50; n < 140; ++n) {
    const std::string text(n, 'x');
    security::Md5 md5;
    for (std::size_t i = 0; i < n; i += 7) {
      md5.update(std::min<std::size_t>(7, n - i), text.data() + i);
    }
    std::uint8_t digest[16];
    md5.final(digest);
    security::Md5 whole;
    whole.update(n, text.data());
    std::uint8_t expected[16];
    whole.final(expected);
    EXPECT_EQ(std::memcmp(digest, expected, 16), 0) << n;
  }
}

}  // namespace
