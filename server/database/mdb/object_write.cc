// Writing an object: storing the serialization cache's records as a new
// object or over an existing one, in one transaction with the index
// updates the change calls for.
//
// The object is rewritten in place when its length stays the same, else it
// moves (within its block or to another). Its bytes are logged only when
// they differ from what the reference held before, so rewriting an
// unchanged object leaves no trace in the journal.
#include "server/database/mdb/object_write.h"

#include <algorithm>
#include <optional>
#include <span>

#include "server/database/mdb/header.h"
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/object_pieces.h"
#include "server/database/mdb/object_records.h"
#include "server/database/mdb/object_store.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/mdb/transaction.h"

namespace mdb {

namespace {

// The object's bytes from its header on. REQUIRES: the piece lies inside
// the block (load_object checked it, or the allocator made it).
std::span<const std::uint8_t> object_bytes(const dobj& object) {
  return {object.data.data() + object.offset, piece_length(piece_header(object))};
}

}  // namespace

ObjectRef write_object(ObjectRef ref) {
  const ObjectRef old_ref = ref;
  std::optional<dobj> old;
  if (!ref.is_null()) old = load_object(ref);

  const SerializationCache& cache = serialization_cache();
  const std::uint32_t size = cache.used() + kObjectLengthWordSize;
  if (ref.is_null()) ref = allocate_object(size);

  dobj object{ref.block, ref.offset, private_copy(ref.block)};
  begin_transaction();
  if (old) resize_object(object, size);

  std::uint8_t* piece = object.data.data() + object.offset;
  set_piece_header(object.data.data(), object.offset, piece_length(piece_header(object)));
  cache.copy_out(piece + kObjectLengthWordSize);
  const std::span<const std::uint8_t> written(piece, size);
  const ObjectRef where{object.block, object.offset};

  std::optional<std::span<const std::uint8_t>> old_bytes;
  if (old) old_bytes = object_bytes(*old);
  update_object_indexes(old_bytes, old ? old_ref : ObjectRef{}, written, where);

  const bool unchanged =
      old && old->block == object.block &&
      std::equal(written.begin(), written.end(), old->data.begin() + object.offset);
  if (!unchanged) {
    log_update(piece, size, block_offset(object.block) + object.offset);
  }
  end_transaction(true);
  return where;
}

}  // namespace mdb
