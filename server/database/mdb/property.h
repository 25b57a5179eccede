// Typed properties: the pieces an object of the meta database is made of.
//
// An object is a sequence of property records, laid out as format.h says:
// a 12-byte header (id, record size, type word), the value at record offset
// 12, and padding up to a multiple of 8 that a property never writes and
// that readers ignore.
//
//   class                            code  value at offset 12     record size
//   PropertySomething32<uint32, 1>   1     the word               16
//   PropertyString                   3     chars + zero byte      12+n+1 -> x8
//   PropertyNodeId                   4     first, second word     24
//   PropertyEnum<E>                  5     the enum as a word     16
//   PropertyBool                     6     one byte, 1 or 0       16
//   PropertySomething32<uint32, 9>   9     the word               16
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "server/database/mdb/format.h"
#include "server/database/mdb/node_id.h"

namespace mdb {

class Property {
 public:
  virtual ~Property() = default;

  // The type code of the class (without the flag bit).
  virtual std::uint32_t type_code() const = 0;
  // The bytes the value takes, padding after it included, when it starts at
  // byte `value_offset` of the record (always the header size, 12).
  virtual std::uint32_t value_size(std::uint32_t value_offset) const = 0;
  // Writes the whole record: header and value; padding is left as it is.
  // REQUIRES: `record` has room for record_size() bytes.
  virtual void serialize(std::uint8_t* record) const = 0;
  // Reads id and value from `record` and returns the id. Flag and type code
  // are not read back. Throws mdb::error_need_repair when the record is too
  // short for its value.
  // REQUIRES: `record` spans the whole record, as its size word gives it.
  virtual std::uint32_t deserialize(std::span<const std::uint8_t> record) = 0;

  // 12 + value size, rounded up to a multiple of 8. Computed in 64 bits so
  // that an oversized string cannot wrap to a small record.
  std::uint64_t record_size() const;

  std::uint32_t id() const { return id_; }
  std::uint8_t flag() const { return flag_; }

 protected:
  Property(std::uint32_t id, std::uint8_t flag) : flag_(flag), id_(id) {}
  Property(const Property&) = default;
  Property& operator=(const Property&) = default;

  void serialize_header(std::uint8_t* record) const;
  // Takes the id from `record` and checks that it holds `value_bytes` bytes
  // of value behind the header.
  void deserialize_header(std::span<const std::uint8_t> record, std::uint32_t value_bytes);
  [[noreturn]] void throw_record_too_short() const;

 private:
  std::uint8_t flag_;
  std::uint32_t id_;
};

// The one implementation behind every property whose value is a single
// 32-bit word: both PropertySomething32 instances and PropertyEnum.
class Property32 : public Property {
 public:
  std::uint32_t value_size(std::uint32_t value_offset) const override;
  void serialize(std::uint8_t* record) const override;
  std::uint32_t deserialize(std::span<const std::uint8_t> record) override;

 protected:
  Property32(std::uint32_t id, std::uint32_t word, std::uint8_t flag)
      : Property(id, flag), word_(word) {}

  std::uint32_t word_;
};

// A 32-bit value that reports type code `Code`.
template <typename T, std::uint32_t Code>
class PropertySomething32 final : public Property32 {
  static_assert(std::is_integral_v<T> && sizeof(T) == 4);

 public:
  explicit PropertySomething32(std::uint32_t id = 0, T value = 0, std::uint8_t flag = 0)
      : Property32(id, static_cast<std::uint32_t>(value), flag) {}

  std::uint32_t type_code() const override { return Code; }
  T value() const { return static_cast<T>(word_); }
  void set_value(T value) { word_ = static_cast<std::uint32_t>(value); }
};

// An enumeration stored as a 32-bit word, type code 5.
template <typename E>
class PropertyEnum final : public Property32 {
  static_assert(std::is_enum_v<E> && sizeof(E) == 4);

 public:
  explicit PropertyEnum(std::uint32_t id = 0, E value = E{}, std::uint8_t flag = 0)
      : Property32(id, static_cast<std::uint32_t>(value), flag) {}

  std::uint32_t type_code() const override { return kTypeCodeEnum; }
  E value() const { return static_cast<E>(word_); }
  void set_value(E value) { word_ = static_cast<std::uint32_t>(value); }
};

// A string of n characters: the characters and one zero byte. A string
// holding a zero byte reads back only up to it.
class PropertyString final : public Property {
 public:
  explicit PropertyString(std::uint32_t id = 0, std::string value = {}, std::uint8_t flag = 0)
      : Property(id, flag), value_(std::move(value)) {}

  std::uint32_t type_code() const override { return kTypeCodeString; }
  std::uint32_t value_size(std::uint32_t value_offset) const override;
  void serialize(std::uint8_t* record) const override;
  std::uint32_t deserialize(std::span<const std::uint8_t> record) override;

  const std::string& value() const { return value_; }
  void set_value(std::string value) { value_ = std::move(value); }

 private:
  std::string value_;
};

// A node id: first word, then second word.
class PropertyNodeId final : public Property {
 public:
  explicit PropertyNodeId(std::uint32_t id = 0, NodeId value = {}, std::uint8_t flag = 0)
      : Property(id, flag), value_(value) {}

  std::uint32_t type_code() const override { return kTypeCodeNodeId; }
  std::uint32_t value_size(std::uint32_t value_offset) const override;
  void serialize(std::uint8_t* record) const override;
  std::uint32_t deserialize(std::span<const std::uint8_t> record) override;

  NodeId value() const { return value_; }
  void set_value(NodeId value) { value_ = value; }

 private:
  NodeId value_;
};

// A bool: one byte, 1 for true and 0 for false; any nonzero byte reads as
// true.
class PropertyBool final : public Property {
 public:
  explicit PropertyBool(std::uint32_t id = 0, bool value = false, std::uint8_t flag = 0)
      : Property(id, flag), value_(value) {}

  std::uint32_t type_code() const override { return kTypeCodeBool; }
  std::uint32_t value_size(std::uint32_t value_offset) const override;
  void serialize(std::uint8_t* record) const override;
  std::uint32_t deserialize(std::span<const std::uint8_t> record) override;

  bool value() const { return value_; }
  void set_value(bool value) { value_ = value; }

 private:
  bool value_;
};

}  // namespace mdb
