// The checker reads the index keys of an object as the engine does: the value
// words of properties 0 and 2, whatever their records' type codes.
#include "server/database/checker/object_parse.h"

#include <gtest/gtest.h>

#include "server/database/support/big_endian.h"

namespace checker {
namespace {

TEST(ObjectParse, IndexKeysAreTheValueWordsOfPropertiesZeroAndTwo) {
  for (const std::uint32_t id : {0u, 2u}) {
    for (const bool string : {true, false}) {  // "abcdefgh" (type 3), or a word (type 1)
      std::vector<std::uint8_t> object(string ? 28 : 20, 0);
      const auto size = static_cast<std::uint32_t>(object.size());
      const std::uint32_t words[] = {size, id, size - 4, string ? 3u : 1u};
      for (int i = 0; i < 4; ++i) support::store_be32(&object[4 * i], words[i]);
      std::copy_n("abcdefgh", string ? 8 : 4, object.begin() + 16);
      ObjectInfo info;
      const std::optional<std::string> fault = parse_object(object, info, nullptr);
      EXPECT_EQ(fault.has_value(), !string);  // a word is too short for a key
      EXPECT_EQ(id == 0 ? info.node_id : info.parent,
                string ? std::optional(mdb::NodeId{0x61626364, 0x65666768}) : std::nullopt);
    }
  }
}

}  // namespace
}  // namespace checker
