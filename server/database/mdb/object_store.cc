// Objects in object blocks: loading, allocating, splitting, freeing and
// resizing them.
//
// Invariants kept here: the pieces of an object block always cover it from
// offset 0 to its end without gaps; a freed object is merged with the
// placeholders directly before and after it, so no two placeholders stand
// side by side after a free; every change is made in a private block copy
// and logged in a transaction, never written into a cached image; a
// reference handed out by allocate_object names an object, never a
// placeholder, so the same space cannot be handed out twice.
#include "server/database/mdb/object_store.h"

#include <cstdint>
#include <string>

#include "server/database/mdb/block_allocator.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/object_pieces.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

namespace {

std::uint32_t block_size() { return database().store.block_size(); }

std::string reference_text(std::uint32_t block, std::uint32_t offset) {
  return support::text_u32(block) + ":" + support::text_u32(offset);
}

// Refuses a reference whose piece would reach past its block, before any
// byte outside the copy is read.
void check_piece_inside_block(const dobj& object) {
  const std::uint64_t end = std::uint64_t{object.offset} + kPieceHeaderSize;
  bool inside = end <= block_size();
  if (inside) {
    const std::uint32_t length = piece_length(piece_header(object));
    inside = length >= kPieceHeaderSize && std::uint64_t{object.offset} + length <= block_size();
  }
  if (!inside) {
    throw error_need_repair("Object " + reference_text(object.block, object.offset) +
                            " does not lie inside its block");
  }
}

// Brings the block's map state in line with its pieces.
void reclassify(std::uint32_t block, const std::uint8_t* data) {
  const std::uint8_t state = classify_block(data);
  if (state != query_block(block)) mark_block(block, state);
}

}  // namespace

dobj load_object(ObjectRef ref) {
  if (ref.is_null()) throw error_nullobj("Attempt to read null object");
  dobj object{ref.block, ref.offset, private_copy(ref.block)};
  check_piece_inside_block(object);
  if (is_placeholder(piece_header(object))) {
    throw error_need_repair("Attempt to load placeholder");
  }
  return object;
}

void split(dobj& object, std::uint32_t size) {
  const std::uint32_t length = piece_length(piece_header(object));
  if (length == size) {
    diagnostic(kDiagInfo, " - size matches request, returning untouched");
    return;
  }
  // A remainder too short for its own header would let the two headers
  // overlap.
  if (length < size || length - size < kPieceHeaderSize) {
    throw error_internal("Attempted to split undersized object");
  }
  if (size % 2 != 0) {
    throw error_internal("Attempted to allocate an odd-sized object");
  }
  // An object needs room for its header; a smaller one would be written
  // past the placeholder it came from.
  if (size < kPieceHeaderSize) {
    throw error_internal(
        "Attempted to allocate an object smaller than its "
        "header");
  }
  std::uint8_t* data = object.data.data();
  const std::uint32_t remainder = length - size;
  set_piece_header(data, object.offset, remainder | kPlaceholderBit);
  log_piece_header(object.block, data, object.offset);
  object.offset += remainder;
  set_piece_header(data, object.offset, size);
}

ObjectRef allocate_object(std::uint32_t size) {
  dobj object = allocate_space(0, size);
  if (!is_placeholder(piece_header(object))) {
    throw error_internal("Allocation code returned object " +
                         reference_text(object.block, object.offset) +
                         " which is NOT a placeholder");
  }
  begin_transaction();
  split(object, size);
  // A placeholder reused at its exact size still carries the placeholder
  // flag; clearing it here keeps a second allocation from handing out the
  // same space before the owner writes the object.
  set_piece_header(object.data.data(), object.offset, size);
  log_piece_header(object.block, object.data.data(), object.offset);
  end_transaction(true);
  return {object.block, object.offset};
}

void free_object(dobj& object) {
  std::uint8_t* data = object.data.data();
  const std::uint32_t offset = object.offset;
  std::uint32_t length = piece_length(piece_header(object));

  const std::uint64_t next = std::uint64_t{offset} + length;
  if (next + kPieceHeaderSize <= block_size()) {
    const std::uint32_t next_header = piece_header(data, static_cast<std::uint32_t>(next));
    if (is_placeholder(next_header)) length += piece_length(next_header);
  }
  set_piece_header(data, offset, length | kPlaceholderBit);

  const std::optional<std::uint32_t> before = placeholder_before(object.block, data, offset);
  const std::uint32_t before_length = before ? piece_length(piece_header(data, *before)) : 0;
  if (before && *before + before_length == offset) {
    set_piece_header(data, *before, (before_length + length) | kPlaceholderBit);
    log_piece_header(object.block, data, *before);
  } else {
    log_piece_header(object.block, data, offset);
  }
  reclassify(object.block, data);
}

void resize_object(dobj& object, std::uint32_t size) {
  if (piece_length(piece_header(object)) == size) return;
  free_object(object);
  object = allocate_space(object.block, size);
  if (piece_length(piece_header(object)) > size) split(object, size);
  const std::uint32_t length = piece_length(piece_header(object));
  if (length != size) {
    throw error_internal("Located a block of " + support::text_u32(length) +
                         " bytes when we were looking for " + support::text_u32(size) + " bytes");
  }
  set_piece_header(object.data.data(), object.offset, size);
}

}  // namespace mdb
