// Solving a transaction's CRC-32 for the serial in its TBEG.
//
// The reflected CRC-32 register steps byte by byte as
//   next = table[(register ^ byte) & 0xFF] ^ (register >> 8).
// The top bytes of the 256 table entries are all different, so the top byte
// of `next` names the table entry used; from it the step runs backwards. The
// register after the TBEG is found by running backwards from the final CRC
// over the TUPD bytes; the four bytes of the serial's lower word then follow
// from the register before them and the table entries the four steps used.
#include "server/database/checker/tbeg_serial.h"

#include <algorithm>
#include <array>

#include "server/database/support/big_endian.h"

namespace checker {

namespace {

struct CrcTables {
  std::array<std::uint32_t, 256> entry{};
  std::array<std::uint8_t, 256> by_top{};  // the entry whose top byte is i
};

const CrcTables& tables() {
  static const CrcTables built = [] {
    CrcTables t;
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ ((c & 1) ? 0xEDB88320u : 0);
      t.entry[i] = c;
      t.by_top[c >> 24] = static_cast<std::uint8_t>(i);
    }
    return t;
  }();
  return built;
}

std::uint32_t step(std::uint32_t reg, std::uint8_t byte) {
  return tables().entry[(reg ^ byte) & 0xFF] ^ (reg >> 8);
}

std::uint32_t step_back(std::uint32_t next, std::uint8_t byte) {
  const std::uint8_t i = tables().by_top[next >> 24];
  return ((next ^ tables().entry[i]) << 8) | static_cast<std::uint8_t>(i ^ byte);
}

}  // namespace

std::uint64_t serial_matching_crc(const std::uint8_t* tbeg, std::size_t covered, std::uint32_t crc,
                                  std::uint32_t serial_high) {
  constexpr std::size_t kLowWord = 12;  // the serial's lower word: TBEG bytes 12..15
  std::uint32_t after = ~crc;
  for (std::size_t k = covered; k-- > kLowWord + 4;) after = step_back(after, tbeg[k]);
  // The entries the four steps over the lower word used. Each backward step
  // leaves one more low byte unknown, but the top byte stays known.
  std::array<std::uint8_t, 4> used{};
  for (int k = 3; k >= 0; --k) {
    used[k] = tables().by_top[after >> 24];
    after = (after ^ tables().entry[used[k]]) << 8;
  }
  std::uint8_t head[kLowWord];
  std::copy(tbeg, tbeg + 8, head);
  support::store_be32(head + 8, serial_high);
  std::uint32_t reg = 0xFFFFFFFFu;
  for (const std::uint8_t byte : head) reg = step(reg, byte);
  std::uint32_t low = 0;
  for (const std::uint8_t i : used) {
    const auto byte = static_cast<std::uint8_t>(i ^ reg);
    low = (low << 8) | byte;
    reg = step(reg, byte);
  }
  return (std::uint64_t{serial_high} << 32) | low;
}

}  // namespace checker
