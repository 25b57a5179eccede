// CRC-32 and MD5 behind one small interface.
//
// CRC-32 is the IEEE 802.3 checksum (reflected polynomial 0xEDB88320,
// initial value 0xFFFFFFFF, final complement); it protects journal entries
// and TSDB descriptors. MD5 (RFC 1321) hashes the administrator's password.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace security {

class Hash {
 public:
  virtual ~Hash() = default;
  virtual void reset() = 0;
  virtual std::size_t digest_size() const = 0;
  virtual void update(std::size_t length, const void* data) = 0;
  virtual void update_byte(std::uint8_t byte) = 0;
  // REQUIRES: out has room for digest_size() bytes.
  virtual void final(std::uint8_t* out) = 0;
};

class Crc32 final : public Hash {
 public:
  Crc32() = default;
  void reset() override { state_ = 0xFFFFFFFFu; }
  std::size_t digest_size() const override { return 4; }
  void update(std::size_t length, const void* data) override;
  void update_byte(std::uint8_t byte) override;
  // Writes value() as four big-endian bytes.
  void final(std::uint8_t* out) override;
  // The checksum so far: the complement of the running state.
  std::uint32_t value() const { return ~state_; }

 private:
  std::uint32_t state_ = 0xFFFFFFFFu;
};

// CRC-32 of one byte range in a single call.
std::uint32_t crc32_of(const void* data, std::size_t length);

class Md5 final : public Hash {
 public:
  Md5() { reset(); }
  void reset() override;
  std::size_t digest_size() const override { return 16; }
  void update(std::size_t length, const void* data) override;
  void update_byte(std::uint8_t byte) override { update(1, &byte); }
  // Pads the message and writes the 16-byte digest.
  void final(std::uint8_t* out) override;

 private:
  void transform(const std::uint8_t* block);

  std::array<std::uint32_t, 4> chain_{};
  std::uint32_t bits_low_ = 0;   // message length in bits, low half
  std::uint32_t bits_high_ = 0;  // and high half
  std::array<std::uint8_t, 64> buffer_{};
};

// The MD5 digest of `text` as 32 lower-case hexadecimal digits.
std::string md5_hex(std::string_view text);

}  // namespace security
