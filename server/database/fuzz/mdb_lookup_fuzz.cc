// Fuzz target: lookups by node id. For the node ids 0.0 to 0.11 it descends the NodeId index, loads
// the object found, reads its property records back into properties, walks the ParentId entries of
// its parent and writes it back one property longer, so that it moves and both indexes change.
#include <memory>

#include "server/database/dbcache/node_type_property.h"
#include "server/database/fuzz/fuzz_files.h"
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/index_operations.h"
#include "server/database/mdb/index_search.h"
#include "server/database/mdb/object_pieces.h"
#include "server/database/mdb/object_records.h"
#include "server/database/mdb/object_store.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/support/errors.h"

namespace {

using namespace mdb;

std::unique_ptr<Property> property_of(std::uint32_t type_word) {
  switch (type_word & ~kPropertyFlagBit) {
    case 1:
      return std::make_unique<PropertySomething32<unsigned, 1>>();
    case kTypeCodeString:
      return std::make_unique<PropertyString>();
    case kTypeCodeNodeId:
      return std::make_unique<PropertyNodeId>();
    case kTypeCodeEnum:
      return std::make_unique<dbcache::NodeTypeProperty>();
    case kTypeCodeBool:
      return std::make_unique<PropertyBool>();
    case 9:
      return std::make_unique<PropertySomething32<unsigned, 9>>();
    default:
      return nullptr;
  }
}

void visit(const NodeId& id) {
  SearchPath path;
  const PathElement leaf = descend_unique(index_roots()[kNodeIdIndex], id, path);
  if (!leaf_holds_key(leaf, id)) return;
  const ObjectRef ref = leaf.leaf().data(leaf.pos);
  const dobj object = load_object(ref);
  SerializationCache& cache = serialization_cache();
  cache.reset();
  for (const PropertyRecord& record :
       object_records({object.data.data() + object.offset, piece_length(piece_header(object))})) {
    const std::unique_ptr<Property> property = property_of(record.type_word);
    if (property == nullptr) continue;
    property->deserialize(record.bytes);
    cache.add(*property);
    const auto* parent = dynamic_cast<const PropertyNodeId*>(property.get());
    if (parent == nullptr || parent->id() != 2) continue;
    IndexCursor cursor = nonuniq_search(kParentIdIndex, parent->value());
    for (int n = 0; n < 100 && !cursor.at_end() && cursor.entry_key() == parent->value(); ++n) {
      load_object(cursor.entry_data());
      cursor_next(cursor);
    }
  }
  cache.add(PropertySomething32<unsigned, 1>(7777, 1));
  write_object(ref);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzzing::write_mdb_files({data, size})) return 0;
  try {
    fuzzing::open_mdb();
    init_indexes();
    for (std::uint32_t second = 0; second < 12; ++second) visit({0, second});
  } catch (const error::Exception&) {
    // Refusing a damaged file is the expected outcome.
  }
  fuzzing::shut_mdb();
  return 0;
}
