// Objects inside object blocks: loading, allocating, splitting, freeing,
// resizing and writing them, and the start of an opened MDB.
//
// An object block is a gapless run of pieces, each an object or a
// placeholder (free space) with a 32-bit header: length in bits 31..1,
// placeholder flag in bit 0. Every change is made in a private block copy
// and logged in a transaction.
#pragma once

#include <cstdint>

#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/index_maintenance.h"

namespace mdb {

// Starts an MDB that open_database() opened: journal replay, allocation map,
// serialization cache and raw access layer, in this order.
void start_database();

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

// Stores the serialization cache's content as the object at `ref`, or as a
// new object when `ref` is null, and updates the indexes; returns where the
// object now is.
ObjectRef write_object(ObjectRef ref);

}  // namespace mdb
