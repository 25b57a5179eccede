// Index initialisation at open and the maintenance of all six index slots
// on every object write.
//
// Invariants kept: after init_indexes the roots of slots 0 and 1 are index
// roots (allocation map state 4) and recorded in the table of roots; after
// update_object_indexes every slot holds exactly the entries the new object
// calls for in place of those of the old one.
#include "server/database/mdb/index_maintenance.h"

#include <array>
#include <optional>

#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/format.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_operations.h"
#include "server/database/mdb/object_records.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

using support::text_u32;

namespace {

// Where a scan keeps each of the properties the indexes read.
enum : std::size_t { own_id, parent_id, listed_flag, ref59, ref3800, ref3901 };

using ScannedRecords = std::array<std::optional<PropertyRecord>, 6>;

ScannedRecords scan_object(std::span<const std::uint8_t> object) {
  ScannedRecords found;
  std::size_t seen = 0;
  for_each_record(object, [&](const PropertyRecord& record) {
    for (std::size_t slot = 0; slot < kIndexedProperties.size(); ++slot) {
      if (record.id != kIndexedProperties[slot]) continue;
      if (!found[slot]) ++seen;
      found[slot] = record;
    }
    return seen < kIndexedProperties.size();
  });
  return found;
}

// A value shorter than its record can hold marks a damaged object.
void require_value_bytes(const PropertyRecord& record, std::size_t bytes) {
  if (record.bytes.size() < 12 + bytes) {
    throw error_need_repair("Property " + text_u32(record.id) + " is too short for its value");
  }
}

std::optional<NodeId> node_id_value(const std::optional<PropertyRecord>& record) {
  if (!record) return std::nullopt;
  require_value_bytes(*record, 8);
  return record_node_id(record->bytes);
}

bool bool_value(const PropertyRecord& record) {
  require_value_bytes(record, 1);
  return record.bytes[12] != 0;
}

// The key of each slot for one object (none: the object has no entry).
using SlotKeys = std::array<std::optional<NodeId>, kMaxIndexes>;

SlotKeys slot_keys(std::optional<std::span<const std::uint8_t>> object) {
  SlotKeys keys;
  if (!object) return keys;
  const ScannedRecords found = scan_object(*object);
  keys[0] = node_id_value(found[own_id]);
  keys[1] = node_id_value(found[parent_id]);
  // Slot 2 lists the objects whose property 502 is true, under their parent.
  if (keys[1] && found[listed_flag] && bool_value(*found[listed_flag])) {
    keys[2] = keys[1];
  }
  keys[3] = node_id_value(found[ref59]);
  keys[4] = node_id_value(found[ref3800]);
  keys[5] = node_id_value(found[ref3901]);
  return keys;
}

void maintain_unique(std::uint32_t slot, const std::optional<NodeId>& old_key,
                     const ObjectRef& old_handle, const std::optional<NodeId>& new_key,
                     const ObjectRef& new_handle) {
  if (old_key && new_key) {
    if (*old_key != *new_key) {
      uniq_delete(slot, *old_key);
      uniq_update(slot, *new_key, new_handle, false);
    } else if (old_handle != new_handle) {
      uniq_update(slot, *new_key, new_handle, true);
    }
  } else if (old_key) {
    uniq_delete(slot, *old_key);
  } else if (new_key) {
    uniq_update(slot, *new_key, new_handle, false);
  }
}

void maintain_nonunique(std::uint32_t slot, const std::optional<NodeId>& old_key,
                        const ObjectRef& old_handle, const std::optional<NodeId>& new_key,
                        const ObjectRef& new_handle) {
  if (old_key && new_key && *old_key == *new_key) {
    if (old_handle != new_handle) {
      nonuniq_update(slot, *new_key, old_handle, new_handle);
    }
    return;
  }
  if (old_key) nonuniq_delete(slot, *old_key, old_handle);
  if (new_key) nonuniq_insert(slot, *new_key, new_handle);
}

}  // namespace

bool create_index_root(std::uint32_t b) {
  const std::uint8_t state = query_block(b);
  if (state == block_index_root) return false;
  if (state != block_empty) {
    throw error_fubar("Non-index node at index-block " + text_u32(b));
  }
  begin_transaction();
  mark_block(b, block_index_root);
  PathElement root = load_element(b);
  format_empty_node(*root.copy);
  log_block(root);
  end_transaction(false);
  diagnostic(kDiagInfo, "Created root index node at block " + text_u32(b));
  return true;
}

void take_index_roots() {
  if (!header_loaded()) {
    throw error_internal("Index initialization attempted before MDB was initialized");
  }
  if (index_root_count() < 2) {
    throw error_fubar("Meta database does not have the two required indexes defined");
  }
  index_roots()[kNodeIdIndex] = index_root(0);
  index_roots()[kParentIdIndex] = index_root(1);
}

void init_indexes() {
  take_index_roots();
  create_index_root(index_roots()[kNodeIdIndex]);
  create_index_root(index_roots()[kParentIdIndex]);
  diagnostic(kDiagInfo, "Node ID and Parent ID indexes are initialized");
}

void update_object_indexes(std::optional<std::span<const std::uint8_t>> old_object,
                           ObjectRef old_handle,
                           std::optional<std::span<const std::uint8_t>> new_object,
                           ObjectRef new_handle) {
  const SlotKeys old_keys = slot_keys(old_object);
  const SlotKeys new_keys = slot_keys(new_object);
  for (std::uint32_t slot = 0; slot < kMaxIndexes; ++slot) {
    if (kIndexUnique[slot]) {
      maintain_unique(slot, old_keys[slot], old_handle, new_keys[slot], new_handle);
    } else {
      maintain_nonunique(slot, old_keys[slot], old_handle, new_keys[slot], new_handle);
    }
  }
}

}  // namespace mdb
