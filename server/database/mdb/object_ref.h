// The object reference: where a stored object is, as the object layer hands
// it out and as every index entry holds it.
//
// A reference is a block number and the byte offset of the object's piece in
// that block; offset 0xFFFFFFFF marks the null reference. Messages write it
// as block and offset joined by a colon.
#pragma once

#include <cstdint>

namespace mdb {

struct ObjectRef {
  std::uint32_t block = 0;
  std::uint32_t offset = 0xFFFFFFFFu;
  bool is_null() const { return offset == 0xFFFFFFFFu; }
  friend bool operator==(const ObjectRef&, const ObjectRef&) = default;
};

}  // namespace mdb
