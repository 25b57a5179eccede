// The node id: the identity of an object of the meta database.
//
// A node id is two unsigned 32-bit words; (0, 0) is the null id. Node ids
// order by the first word, then the second, which is the key order of every
// index. Messages write a node id as its two words in decimal joined by a
// point ("0.1" for the root domain).
#pragma once

#include <compare>
#include <cstdint>
#include <string>

#include "server/database/support/text_format.h"

namespace mdb {

struct NodeId {
  std::uint32_t first = 0;
  std::uint32_t second = 0;

  bool is_null() const { return first == 0 && second == 0; }
  friend auto operator<=>(const NodeId&, const NodeId&) = default;
};

inline std::string to_text(const NodeId& id) {
  return support::text_u32(id.first) + "." + support::text_u32(id.second);
}

}  // namespace mdb
