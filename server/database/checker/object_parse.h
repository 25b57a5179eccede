// One stored object, parsed property by property: every record's size,
// type code and value are checked against the record formats, and the
// properties the indexes are built from are picked out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "server/database/checker/report.h"
#include "server/database/mdb/node_id.h"
#include "server/database/mdb/object_ref.h"

namespace checker {

struct ObjectInfo {
  mdb::ObjectRef ref;
  std::optional<mdb::NodeId> node_id;      // property 0
  std::optional<mdb::NodeId> parent;       // property 2
  std::optional<std::uint32_t> node_type;  // property 3
};

// Parses the object whose bytes (length word first, exactly its length)
// are `object`. Returns what is wrong with it, or nothing when every record
// is sound; `info` gets the index properties of the records before any
// fault, `dump` (when given) every sound record.
std::optional<std::string> parse_object(std::span<const std::uint8_t> object, ObjectInfo& info,
                                        DumpedObject* dump);

// "domain", "user", or "type <n>".
std::string node_type_name(std::uint32_t type);

}  // namespace checker
