// Node types: the kind of monitoring-model object (domain, user, check, ...)
// a node of the meta database is.
//
// An object stores its node type in property 3, a PropertyEnum over
// node_type_t (type code 5, the value as one 32-bit word). An object without
// property 3 has no node type. The stored value is not the position of the
// type's name in node_type_names: the domain is stored as 1 although
// "Domain" stands at position 3.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace dbcache {

// The values this program writes. Other node types have no value here yet.
enum class node_type_t : std::uint32_t {
  domain = 1,
  user = 2,
};

// The property id under which an object carries its node type.
inline constexpr std::uint32_t kNodeTypePropertyId = 3;

inline constexpr std::size_t kNodeTypeNameCount = 95;

// The vocabulary of type names, read-only.
extern const std::array<std::string_view, kNodeTypeNameCount> node_type_names;

}  // namespace dbcache
