// Property records, the serialization cache that assembles them and the
// walk over the records of a stored object.
#include "server/database/mdb/property.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "server/database/mdb/object_records.h"
#include "server/database/mdb/raw_access.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/support/test_util.h"

namespace mdb {
namespace {

using testing_util::expect_error;
using Bytes = std::vector<std::uint8_t>;
using Word1 = PropertySomething32<unsigned int, 1>;
using Word9 = PropertySomething32<unsigned int, 9>;

enum class Colour : std::uint32_t { red = 7, blue = 0x01020304 };

// Serializes `property` into a buffer pre-filled with 0xEE, so that bytes
// the property does not write stay visible, and checks the size word.
Bytes image_of(const Property& property) {
  Bytes bytes(property.record_size(), 0xEE);
  property.serialize(bytes.data());
  EXPECT_EQ(support::load_be32(bytes.data() + 4), bytes.size());
  return bytes;
}

TEST(PropertyTest, RecordImagesOfEveryClass) {
  // Word properties: id, size 16, code, value; no padding.
  EXPECT_EQ(image_of(Word9(2601, 0xA1B2C3D4)),
            (Bytes{0, 0, 0x0A, 0x29, 0, 0, 0, 16, 0, 0, 0, 9, 0xA1, 0xB2, 0xC3, 0xD4}));
  EXPECT_EQ(image_of(PropertyEnum<Colour>(3, Colour::blue)),
            (Bytes{0, 0, 0, 3, 0, 0, 0, 16, 0, 0, 0, 5, 1, 2, 3, 4}));
  // Node id: first word, second word, 4 padding bytes left untouched.
  EXPECT_EQ(image_of(PropertyNodeId(2, NodeId{0x10203040, 6})),
            (Bytes{0,    0,    0,    2,    0, 0, 0, 24, 0,    0,    0,    4,
                   0x10, 0x20, 0x30, 0x40, 0, 0, 0, 6,  0xEE, 0xEE, 0xEE, 0xEE}));
  // Bool: one byte and three untouched padding bytes.
  EXPECT_EQ(image_of(PropertyBool(902, true)),
            (Bytes{0, 0, 3, 0x86, 0, 0, 0, 16, 0, 0, 0, 6, 1, 0xEE, 0xEE, 0xEE}));
  // String: characters, the zero byte, untouched padding.
  EXPECT_EQ(image_of(PropertyString(51, "admin")),
            (Bytes{0,   0,   0,   51,  0,   0, 0,    24,   0,    0,    0,    3,
                   'a', 'd', 'm', 'i', 'n', 0, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
  // 3 characters fill a record exactly; at 4 the zero byte spills over.
  for (const auto& [n, size] :
       {std::pair<std::size_t, std::size_t>{0, 16}, {3, 16}, {4, 24}, {12, 32}}) {
    EXPECT_EQ(image_of(PropertyString(1, std::string(n, 'x'))).size(), size);
  }
  // Any non-zero flag sets bit 31 of the type word.
  EXPECT_EQ(support::load_be32(image_of(Word1(1, 0, 1)).data() + 8), 0x80000001u);
  EXPECT_EQ(support::load_be32(image_of(PropertyString(5, "", 0xFF)).data() + 8), 0x80000003u);
}

// Values read back whole are checked end to end on the objects the tool
// writes; these are the parts such objects do not show.
TEST(PropertyTest, DeserializeRefusesTruncatedRecords) {
  Word9 word;
  EXPECT_EQ(word.deserialize(image_of(Word9(2601, 77, 1))), 2601u);
  EXPECT_EQ(word.flag(), 0);  // the flag is not read back
  PropertyEnum<Colour> colour;
  colour.deserialize(image_of(PropertyEnum<Colour>(3, Colour::red)));
  EXPECT_EQ(colour.value(), Colour::red);
  Bytes record = image_of(PropertyNodeId(8, NodeId{1, 2}));
  PropertyNodeId node;
  node.deserialize(record);
  EXPECT_EQ(node.value(), (NodeId{1, 2}));
  expect_error<error_need_repair>([&] { node.deserialize(std::span(record).first(16)); },
                                  "Property 8 record too short for its value");
  expect_error<error_need_repair>([&] { node.deserialize(std::span(record).first(8)); },
                                  "Property record of 8 bytes is shorter than its header");
  // A string whose record holds no terminating zero byte.
  record = image_of(PropertyString(9, "abc"));
  record[15] = 'd';
  PropertyString text;
  expect_error<error_need_repair>([&] { text.deserialize(record); },
                                  "Property 9 record too short for its value");
}

TEST(SerializationCacheTest, RecordsBackToBackFirstOfAnIdWins) {
  SerializationCache cache(8192);
  cache.add(PropertyNodeId(0, NodeId{0, 4}));
  cache.add(Word1(2901, 12));
  cache.add(Word1(0, 99));  // a repeated id is dropped, whatever its class
  cache.add(PropertyString(2901, "a much longer value"));
  EXPECT_EQ(Bytes(cache.records().begin(), cache.records().end()),
            testing_util::be_words({0, 24, 4, 0, 4, 0, 2901, 16, 1, 12}));
  // After a reset an id may be used again, and padding that a longer
  // record left behind is zero again.
  cache.reset();
  cache.add(PropertyString(0, std::string(40, 'z')));
  cache.reset();
  cache.add(PropertyBool(2, true));
  cache.add(PropertyNodeId(0, NodeId{5, 6}));
  EXPECT_EQ(Bytes(cache.records().begin(), cache.records().end()),
            testing_util::be_words({2, 16, 6, 0x01000000, 0, 24, 4, 5, 6, 0}));
}

TEST(SerializationCacheTest, FullCacheAndOverflow) {
  SerializationCache cache(8192);
  for (std::uint32_t id = 0; id < 512; ++id) cache.add(Word1(id, id));
  expect_error<error_bigobj>([&] { cache.add(Word1(7000, 1)); },
                             "No space in serialization cache for property 7000");
  EXPECT_EQ(cache.used(), 8192u);
  // A property that did not fit does not hold its id.
  SerializationCache small(32);
  small.add(Word1(1, 0));
  EXPECT_THROW(small.add(PropertyString(7, "twenty characters..")), error_bigobj);
  small.add(PropertyBool(7, true));
  EXPECT_EQ(small.used(), 32u);
  // The process cache refuses every property until it is created.
  create_serialization_cache(0);
  expect_error<error_bigobj>([] { serialization_cache().add(Word1(4, 0)); },
                             "No space in serialization cache for property 4");
  create_serialization_cache(8192);
  serialization_cache().add(Word1(4, 0));
  EXPECT_EQ(serialization_cache().used(), 16u);

  expect_error<error_internal>(
      [] { init_raw_access(0); },
      "Attempt to initialize raw access layer before MDB I/O was initialized");
}

// An object of three records (ids 10, 5, 0; 68 bytes) whose length word has
// bit 0 set, followed by 12 bytes that belong to the next piece.
Bytes sample_object() {
  SerializationCache cache(8192);
  cache.add(PropertyString(10, "first"));
  cache.add(PropertyBool(5, true));
  cache.add(PropertyNodeId(0, NodeId{0, 9}));
  Bytes object(cache.used() + 4 + 12, 0xEE);
  support::store_be32(object.data(), (cache.used() + 4) | 1);
  cache.copy_out(object.data() + 4);
  return object;
}

TEST(ObjectRecordsTest, WalksRecordsAndRefusesWordsThatLeaveTheObject) {
  Bytes object = sample_object();
  EXPECT_EQ(object_length(object.data()), 68u);
  const std::vector<PropertyRecord> records = object_records(object);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].bytes.size(), 24u);
  EXPECT_EQ(records[1].type_word, 6u);
  EXPECT_EQ(records[2].bytes.data(), object.data() + 44);
  EXPECT_EQ(find_record(object, 0)->id, 0u);
  EXPECT_FALSE(find_record(object, 77).has_value());
  int visited = 0;
  for_each_record(object, [&](const PropertyRecord&) { return ++visited < 2; });
  EXPECT_EQ(visited, 2);

  const auto expect_bad = [&object](const std::string& text) {
    expect_error<error_need_repair>([&object] { object_records(object); }, text);
  };
  support::store_be32(object.data() + 28 + 4, 0);  // second record's size
  expect_bad("Bad property record size 0 at object offset 28");
  support::store_be32(object.data() + 28 + 4, 48);  // runs past length 68
  expect_bad("Bad property record size 48 at object offset 28");
  support::store_be32(object.data(), 200);
  expect_bad("Bad object length 200 in 80 bytes");
  support::store_be32(object.data(), 2);
  expect_bad("Bad object length 2 in 80 bytes");
  // A length that leaves less than a header after the last record.
  object = sample_object();
  support::store_be32(object.data(), 68 + 8);
  expect_bad("Bad property record size 0 at object offset 68");
}

}  // namespace
}  // namespace mdb
