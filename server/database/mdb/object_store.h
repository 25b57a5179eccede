// Objects inside object blocks: loading, allocating, splitting, freeing and
// resizing them.
//
// An object block is a gapless run of pieces, each an object or a
// placeholder (free space) with a 32-bit header: length in bits 31..1,
// placeholder flag in bit 0. Every change is made in a private block copy
// and logged in a transaction.
#pragma once

#include <cstdint>

#include "server/database/mdb/object_pieces.h"
#include "server/database/mdb/object_ref.h"

namespace mdb {

// The object at `ref`, with a private copy of its block.
dobj load_object(ObjectRef ref);

// Space for a new object of `size` bytes, carved from a placeholder in its
// own transaction.
ObjectRef allocate_object(std::uint32_t size);

// Carves an object of `size` bytes from the back of the placeholder at
// `object`; `object.offset` moves to the new object.
void split(dobj& object, std::uint32_t size);

// Turns the object into a placeholder, merged with free neighbours.
// REQUIRES: in_transaction().
void free_object(dobj& object);

// Gives the object `size` bytes, moving it when its length differs.
// REQUIRES: in_transaction().
void resize_object(dobj& object, std::uint32_t size);

}  // namespace mdb
