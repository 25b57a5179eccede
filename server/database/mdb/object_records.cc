// Walking the records of an object's bytes, refusing length and size words
// that would lead the walk outside the object or make it stand still.
#include "server/database/mdb/object_records.h"

#include "server/database/mdb/property.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace mdb {

std::uint32_t object_length(const std::uint8_t* object) {
  return support::load_be32(object) & ~std::uint32_t{1};
}

void for_each_record(std::span<const std::uint8_t> object,
                     const std::function<bool(const PropertyRecord&)>& visit) {
  const std::uint32_t length =
      object.size() < kObjectLengthWordSize ? 0 : object_length(object.data());
  if (length < kObjectLengthWordSize || length > object.size()) {
    throw error_need_repair("Bad object length " + support::text_u32(length) + " in " +
                            support::text_size(object.size()) + " bytes");
  }
  std::uint32_t offset = kObjectLengthWordSize;
  while (offset < length) {
    const std::uint8_t* record = object.data() + offset;
    const std::uint32_t size =
        length - offset < kPropertyHeaderSize ? 0 : support::load_be32(record + 4);
    if (size < kPropertyHeaderSize || size > length - offset) {
      throw error_need_repair("Bad property record size " + support::text_u32(size) +
                              " at object offset " + support::text_u32(offset));
    }
    const PropertyRecord found{support::load_be32(record), support::load_be32(record + 8),
                               object.subspan(offset, size)};
    if (!visit(found)) return;
    offset += size;
  }
}

std::vector<PropertyRecord> object_records(std::span<const std::uint8_t> object) {
  std::vector<PropertyRecord> records;
  for_each_record(object, [&records](const PropertyRecord& record) {
    records.push_back(record);
    return true;
  });
  return records;
}

std::optional<PropertyRecord> find_record(std::span<const std::uint8_t> object, std::uint32_t id) {
  std::optional<PropertyRecord> last;
  for_each_record(object, [&last, id](const PropertyRecord& record) {
    if (record.id == id) last = record;
    return true;
  });
  return last;
}

}  // namespace mdb
