// MD5 as published in RFC 1321.
#include <algorithm>
#include <bit>
#include <cstring>

#include "server/database/support/hash.h"

namespace security {

namespace {

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

std::uint32_t load_le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

void store_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

void Md5::reset() {
  chain_ = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
  bits_low_ = 0;
  bits_high_ = 0;
}

void Md5::transform(const std::uint8_t* block) {
  std::uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = load_le32(block + 4 * i);
  std::uint32_t a = chain_[0], b = chain_[1], c = chain_[2], d = chain_[3];
  for (int i = 0; i < 64; ++i) {
    std::uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const std::uint32_t rotated = std::rotl(a + f + kSine[i] + m[g], kShift[i]);
    a = d;
    d = c;
    c = b;
    b += rotated;
  }
  chain_[0] += a;
  chain_[1] += b;
  chain_[2] += c;
  chain_[3] += d;
}

void Md5::update(std::size_t length, const void* data) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::size_t used = (bits_low_ >> 3) & 63;
  const std::uint64_t bits =
      ((std::uint64_t{bits_high_} << 32) | bits_low_) + std::uint64_t{length} * 8;
  bits_low_ = static_cast<std::uint32_t>(bits);
  bits_high_ = static_cast<std::uint32_t>(bits >> 32);
  while (length > 0) {
    const std::size_t take = std::min(length, 64 - used);
    std::memcpy(buffer_.data() + used, p, take);
    used += take;
    p += take;
    length -= take;
    if (used == 64) {
      transform(buffer_.data());
      used = 0;
    }
  }
}

void Md5::final(std::uint8_t* out) {
  std::uint8_t length_bytes[8];
  store_le32(length_bytes, bits_low_);
  store_le32(length_bytes + 4, bits_high_);
  const std::size_t used = (bits_low_ >> 3) & 63;
  const std::size_t pad = used < 56 ? 56 - used : 120 - used;
  std::uint8_t padding[64] = {0x80};
  update(pad, padding);
  update(8, length_bytes);
  for (int i = 0; i < 4; ++i) store_le32(out + 4 * i, chain_[i]);
}

std::string md5_hex(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  Md5 md5;
  md5.update(text.size(), text.data());
  std::uint8_t digest[16];
  md5.final(digest);
  std::string hex;
  for (std::uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

}  // namespace security
