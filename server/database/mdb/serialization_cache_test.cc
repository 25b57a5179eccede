#include "server/database/mdb/serialization_cache.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "server/database/mdb/raw_access.h"
#include "server/database/mdb/test_helpers.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using Word1 = PropertySomething32<unsigned int, 1>;
enum class Kind : std::uint32_t { domain = 1 };

// Big-endian bytes of a list of 32-bit words.
std::vector<std::uint8_t> words(std::initializer_list<std::uint32_t> list) {
  std::vector<std::uint8_t> bytes(list.size() * 4);
  std::uint8_t* p = bytes.data();
  for (std::uint32_t w : list) {
    support::store_be32(p, w);
    p += 4;
  }
  return bytes;
}

// The object bytes the object layer would store: length word, records.
std::vector<std::uint8_t> object_of(const SerializationCache& cache) {
  std::vector<std::uint8_t> object(cache.used() + 4);
  support::store_be32(object.data(), cache.used() + 4);
  cache.copy_out(object.data() + 4);
  return object;
}

TEST(SerializationCacheTest, WholeObjectsAreRecordsBackToBack) {
  SerializationCache cache(8192);
  cache.add(PropertyNodeId(0, NodeId{0, 4}));
  cache.add(Word1(2901, 12));
  EXPECT_EQ(object_of(cache), words({44,
                                     0, 24, 4, 0, 4, 0,  //
                                     2901, 16, 1, 12}));

  cache.reset();
  cache.add(PropertyNodeId(0, NodeId{0, 1}));
  cache.add(PropertyNodeId(2, NodeId{}));
  cache.add(Word1(1, 0));
  cache.add(PropertyEnum<Kind>(3, Kind::domain));
  cache.add(PropertyString(51, "Root domain"));
  cache.add(PropertyString(512, ""));
  for (std::uint32_t id = 100; id <= 104; ++id) cache.add(Word1(id, 0));
  EXPECT_EQ(object_of(cache),
            words({204,
                   0, 24, 4, 0, 1, 0,  //
                   2, 24, 4, 0, 0, 0,  //
                   1, 16, 1, 0,        //
                   3, 16, 5, 1,        //
                   51, 24, 3, 0x526F6F74, 0x20646F6D, 0x61696E00,  //
                   512, 16, 3, 0,      //
                   100, 16, 1, 0, 101, 16, 1, 0, 102, 16, 1, 0,  //
                   103, 16, 1, 0, 104, 16, 1, 0}));
}

TEST(SerializationCacheTest, RepeatedIdKeepsTheFirstProperty) {
  SerializationCache cache(64);
  cache.add(PropertyEnum<Kind>(3, Kind::domain));
  cache.add(Word1(3, 99));
  cache.add(PropertyString(3, "a much longer value"));
  EXPECT_EQ(cache.used(), 16u);
  EXPECT_EQ(std::vector(cache.records().begin(), cache.records().end()),
            words({3, 16, 5, 1}));

  // After a reset the id may be used again.
  cache.reset();
  cache.add(Word1(3, 99));
  EXPECT_EQ(cache.used(), 16u);
  EXPECT_EQ(support::load_be32(cache.records().data() + 12), 99u);
}

TEST(SerializationCacheTest, FullBlockAndOverflow) {
  SerializationCache cache(8192);
  for (std::uint32_t id = 0; id < 512; ++id) cache.add(Word1(id, id));
  EXPECT_EQ(cache.used(), 8192u);
  mdb_testing::expect_error<error_bigobj>(
      [&] { cache.add(Word1(7000, 1)); },
      "No space in serialization cache for property 7000");
  EXPECT_EQ(cache.used(), 8192u);
  // The records added before the failure stay.
  EXPECT_EQ(support::load_be32(cache.records().data() + 8192 - 4), 511u);
}

TEST(SerializationCacheTest, PropertyThatDidNotFitDoesNotHoldItsId) {
  SerializationCache cache(32);
  cache.add(Word1(1, 0));
  mdb_testing::expect_error<error_bigobj>(
      [&] { cache.add(PropertyString(7, "twenty characters..")); },
      "No space in serialization cache for property 7");
  cache.add(PropertyBool(7, true));
  EXPECT_EQ(cache.used(), 32u);
}

TEST(SerializationCacheTest, PaddingIsZeroAfterReuse) {
  SerializationCache cache(64);
  cache.add(PropertyString(1, std::string(40, 'z')));
  cache.reset();
  cache.add(PropertyBool(2, true));
  cache.add(PropertyNodeId(3, NodeId{5, 6}));
  EXPECT_EQ(std::vector(cache.records().begin(), cache.records().end()),
            words({2, 16, 6, 0x01000000, 3, 24, 4, 5, 6, 0}));
}

TEST(SerializationCacheTest, ProcessCacheIsEmptyUntilCreated) {
  // A cache without a buffer refuses every property.
  create_serialization_cache(0);
  mdb_testing::expect_error<error_bigobj>(
      [] { serialization_cache().add(Word1(4, 0)); },
      "No space in serialization cache for property 4");
  create_serialization_cache(8192);
  EXPECT_EQ(serialization_cache().capacity(), 8192u);
  EXPECT_EQ(serialization_cache().used(), 0u);
  serialization_cache().add(Word1(4, 0));
  EXPECT_EQ(serialization_cache().used(), 16u);
}

TEST(RawAccessTest, NeedsAKnownBlockSize) {
  mdb_testing::expect_error<error_internal>(
      [] { init_raw_access(0); },
      "Attempt to initialize raw access layer before MDB I/O was "
      "initialized");
  init_raw_access(8192);
  ASSERT_EQ(raw_access_buffer().size(), 8192u);
  EXPECT_EQ(raw_access_buffer()[8191], 0);
}

}  // namespace
}  // namespace mdb
