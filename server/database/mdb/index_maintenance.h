// The index layer as the rest of the engine sees it: initialisation at open
// and the maintenance the object layer runs on every object write.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "server/database/mdb/object_ref.h"

namespace mdb {

// Sets the table of roots from the header's index root list: the NodeId
// and ParentId slots get its first two roots, the other slots none. Writes
// nothing. REQUIRES: a header is loaded.
void take_index_roots();

// take_index_roots(), then creates the two roots in a fresh MDB, each in a
// committed transaction of its own. REQUIRES: start_database() has run.
void init_indexes();

// Brings every index in step with an object change: the old object (its
// bytes from the piece header on, or none for a new object) stored at
// `old_handle`, the new one at `new_handle` (none when the object goes).
// REQUIRES: in_transaction(); init_indexes() has run.
void update_object_indexes(std::optional<std::span<const std::uint8_t>> old_object,
                           ObjectRef old_handle,
                           std::optional<std::span<const std::uint8_t>> new_object,
                           ObjectRef new_handle);

}  // namespace mdb
