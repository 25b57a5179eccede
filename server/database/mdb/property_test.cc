#include "server/database/mdb/property.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "server/database/mdb/test_helpers.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

enum class Colour : std::uint32_t { red = 7, blue = 0x01020304 };

using Word1 = PropertySomething32<unsigned int, 1>;
using Word9 = PropertySomething32<unsigned int, 9>;

// Serializes `property` into a buffer pre-filled with 0xEE, so that bytes
// the property does not write stay visible, and checks the size word.
std::vector<std::uint8_t> image_of(const Property& property) {
  std::vector<std::uint8_t> bytes(property.record_size(), 0xEE);
  property.serialize(bytes.data());
  EXPECT_EQ(support::load_be32(bytes.data() + 4), bytes.size());
  return bytes;
}

TEST(PropertyTest, RecordImagesOfEveryClass) {
  using Bytes = std::vector<std::uint8_t>;
  // Word properties: id, size 16, code, value; no padding.
  EXPECT_EQ(image_of(Word9(2601, 0xA1B2C3D4)),
            (Bytes{0, 0, 0x0A, 0x29, 0, 0, 0, 16, 0, 0, 0, 9,
                   0xA1, 0xB2, 0xC3, 0xD4}));
  EXPECT_EQ(image_of(PropertyEnum<Colour>(3, Colour::blue)),
            (Bytes{0, 0, 0, 3, 0, 0, 0, 16, 0, 0, 0, 5, 1, 2, 3, 4}));
  // Node id: first word, second word, 4 padding bytes left untouched.
  EXPECT_EQ(image_of(PropertyNodeId(2, NodeId{0x10203040, 6})),
            (Bytes{0, 0, 0, 2, 0, 0, 0, 24, 0, 0, 0, 4, 0x10, 0x20, 0x30,
                   0x40, 0, 0, 0, 6, 0xEE, 0xEE, 0xEE, 0xEE}));
  // Bool: one byte and three untouched padding bytes.
  EXPECT_EQ(image_of(PropertyBool(902, true)),
            (Bytes{0, 0, 3, 0x86, 0, 0, 0, 16, 0, 0, 0, 6, 1, 0xEE, 0xEE,
                   0xEE}));
  EXPECT_EQ(image_of(PropertyBool(902, false))[12], 0);
  // String: characters, the zero byte, untouched padding.
  EXPECT_EQ(
      image_of(PropertyString(51, "admin")),
      (Bytes{0,   0,   0,   51,  0,   0, 0,    24,   0,    0,    0,    3,
             'a', 'd', 'm', 'i', 'n', 0, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
  // A string of 3 characters fills its record exactly; at 4 the zero byte
  // spills into a new word pair.
  for (const auto& [n, size] : {std::pair<std::size_t, std::size_t>{0, 16},
                                {3, 16},
                                {4, 24},
                                {12, 32}}) {
    EXPECT_EQ(image_of(PropertyString(1, std::string(n, 'x'))).size(), size);
  }

  // Any non-zero flag sets bit 31 of the type word.
  const auto type_word = [](const Property& p) {
    return support::load_be32(image_of(p).data() + 8);
  };
  EXPECT_EQ(type_word(Word1(1, 0, 1)), 0x80000001u);
  EXPECT_EQ(type_word(PropertyString(5, "", 0xFF)), 0x80000003u);
}

TEST(PropertyTest, DeserializeReadsIdAndValueBack) {
  Word9 word;
  EXPECT_EQ(word.deserialize(image_of(Word9(2601, 77, 1))), 2601u);
  EXPECT_EQ(word.value(), 77u);
  EXPECT_EQ(word.flag(), 0);  // the flag is not read back

  PropertyEnum<Colour> colour;
  EXPECT_EQ(colour.deserialize(image_of(PropertyEnum<Colour>(3, Colour::red))),
            3u);
  EXPECT_EQ(colour.value(), Colour::red);

  PropertyNodeId node;
  node.deserialize(image_of(PropertyNodeId(0, NodeId{0, 6})));
  EXPECT_EQ(node.value(), (NodeId{0, 6}));

  PropertyBool flag;
  flag.deserialize(image_of(PropertyBool(910, true)));
  EXPECT_TRUE(flag.value());

  PropertyString text;
  text.deserialize(image_of(PropertyString(900, "Root domain")));
  EXPECT_EQ(text.value(), "Root domain");
}

TEST(PropertyTest, DeserializeRefusesTruncatedRecords) {
  std::vector<std::uint8_t> record = image_of(PropertyNodeId(8, NodeId{1, 2}));
  PropertyNodeId node;
  mdb_testing::expect_error<error_need_repair>(
      [&] { node.deserialize(std::span(record).first(16)); },
      "Property 8 record too short for its value");
  mdb_testing::expect_error<error_need_repair>(
      [&] { node.deserialize(std::span(record).first(8)); },
      "Property record of 8 bytes is shorter than its header");

  // A string whose record holds no terminating zero byte.
  record = image_of(PropertyString(9, "abc"));
  record[15] = 'd';
  PropertyString text;
  mdb_testing::expect_error<error_need_repair>(
      [&] { text.deserialize(record); },
      "Property 9 record too short for its value");
}

}  // namespace
}  // namespace mdb
