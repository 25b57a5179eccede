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

TEST(SerializationCacheTest, RecordsBackToBackFirstOfAnIdWins) {
  SerializationCache cache(8192);
  cache.add(PropertyNodeId(0, NodeId{0, 4}));
  cache.add(Word1(2901, 12));
  cache.add(Word1(0, 99));  // a repeated id is dropped, whatever its class
  cache.add(PropertyString(2901, "a much longer value"));
  EXPECT_EQ(object_of(cache), words({44,
                                     0, 24, 4, 0, 4, 0,  //
                                     2901, 16, 1, 12}));

  // After a reset the id may be used again, and padding a longer record
  // left behind is zero again.
  cache.reset();
  cache.add(PropertyString(0, std::string(40, 'z')));
  cache.reset();
  cache.add(PropertyBool(2, true));
  cache.add(PropertyNodeId(0, NodeId{5, 6}));
  EXPECT_EQ(std::vector(cache.records().begin(), cache.records().end()),
            words({2, 16, 6, 0x01000000, 0, 24, 4, 5, 6, 0}));
}

TEST(SerializationCacheTest, FullCacheAndOverflow) {
  SerializationCache cache(8192);
  for (std::uint32_t id = 0; id < 512; ++id) cache.add(Word1(id, id));
  EXPECT_EQ(cache.used(), 8192u);
  mdb_testing::expect_error<error_bigobj>(
      [&] { cache.add(Word1(7000, 1)); },
      "No space in serialization cache for property 7000");
  EXPECT_EQ(cache.used(), 8192u);
  // The records added before the failure stay.
  EXPECT_EQ(support::load_be32(cache.records().data() + 8192 - 4), 511u);

  // A property that did not fit does not hold its id.
  SerializationCache small(32);
  small.add(Word1(1, 0));
  mdb_testing::expect_error<error_bigobj>(
      [&] { small.add(PropertyString(7, "twenty characters..")); },
      "No space in serialization cache for property 7");
  small.add(PropertyBool(7, true));
  EXPECT_EQ(small.used(), 32u);

  // The process cache refuses every property until it is created.
  create_serialization_cache(0);
  mdb_testing::expect_error<error_bigobj>(
      [] { serialization_cache().add(Word1(4, 0)); },
      "No space in serialization cache for property 4");
  create_serialization_cache(8192);
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
