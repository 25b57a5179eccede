// Writing an object: the serialization cache's records stored as an object,
// with the index updates the change calls for, in one transaction.
#pragma once

#include "server/database/mdb/object_ref.h"

namespace mdb {

// Stores the serialization cache's content as the object at `ref`, or as a
// new object when `ref` is null, and updates the indexes; returns where the
// object now is.
ObjectRef write_object(ObjectRef ref);

}  // namespace mdb
