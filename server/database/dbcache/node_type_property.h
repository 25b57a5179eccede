// The property that carries an object's node type.
#pragma once

#include "server/database/dbcache/node_types.h"
#include "server/database/mdb/property.h"

namespace dbcache {

using NodeTypeProperty = mdb::PropertyEnum<node_type_t>;

// The node type property of an object, id 3.
inline NodeTypeProperty node_type_property(node_type_t type) {
  return NodeTypeProperty(kNodeTypePropertyId, type);
}

}  // namespace dbcache
