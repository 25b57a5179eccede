// Parsing an object's property records.
#include "server/database/checker/object_parse.h"

#include <algorithm>

#include "server/database/mdb/format.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/text_format.h"

namespace checker {

namespace {

using support::load_be32;
using support::text_u32;

// The node type is no index key; the report counts objects by it.
constexpr std::uint32_t kNodeTypeProperty = 3;

// The type name and value of a sound record, or the fault.
struct Decoded {
  std::string type;
  std::string value;
  std::optional<std::string> fault;
};

Decoded decode(std::uint32_t code, std::span<const std::uint8_t> record) {
  const std::uint8_t* value = record.data() + mdb::kPropertyHeaderSize;
  const std::size_t size = record.size();
  const auto fixed = [&](std::size_t want, std::string type, std::string text) -> Decoded {
    if (size != want) {
      return {type, "",
              "record size " + support::text_size(size) + ", expected " + support::text_size(want)};
    }
    return {std::move(type), std::move(text), std::nullopt};
  };
  switch (code) {
    case mdb::kTypeCodeWord:
    case mdb::kTypeCodeWord9:
      return fixed(mdb::kWordRecordSize, code == mdb::kTypeCodeWord ? "word" : "word9",
                   size == mdb::kWordRecordSize ? text_u32(load_be32(value)) : "");
    case mdb::kTypeCodeEnum:
      return fixed(mdb::kWordRecordSize, "enum",
                   size == mdb::kWordRecordSize ? text_u32(load_be32(value)) : "");
    case mdb::kTypeCodeBool:
      if (size == mdb::kWordRecordSize && value[0] > 1) {
        return {"bool", "", "boolean byte " + text_u32(value[0])};
      }
      return fixed(mdb::kWordRecordSize, "bool",
                   size == mdb::kWordRecordSize ? (value[0] ? "true" : "false") : "");
    case mdb::kTypeCodeNodeId:
      return fixed(mdb::kNodeIdRecordSize, "node id",
                   size == mdb::kNodeIdRecordSize
                       ? mdb::to_text({load_be32(value), load_be32(value + 4)})
                       : "");
    case mdb::kTypeCodeString: {
      const std::uint8_t* end = record.data() + size;
      const std::uint8_t* zero = std::find(value, end, std::uint8_t{0});
      if (zero == end) return {"string", "", "string has no terminating zero"};
      const auto length = static_cast<std::uint64_t>(zero - value);
      const std::uint64_t want = mdb::round_up_to_8(mdb::kPropertyHeaderSize + length + 1);
      if (want != size) {
        return {"string", "",
                "record size " + support::text_size(size) + " for a string of " +
                    support::text_u64(length) + " characters"};
      }
      std::string text = "\"";
      for (const std::uint8_t* c = value; c != zero; ++c) {
        text += (*c >= 0x20 && *c < 0x7F) ? static_cast<char>(*c) : '?';
      }
      return {"string", text + "\"", std::nullopt};
    }
    default:
      return {"", "", "unknown type code " + text_u32(code)};
  }
}

}  // namespace

std::string node_type_name(std::uint32_t type) {
  if (type == 1) return "domain";
  if (type == 2) return "user";
  return "type " + text_u32(type);
}

std::optional<std::string> parse_object(std::span<const std::uint8_t> object, ObjectInfo& info,
                                        DumpedObject* dump) {
  const std::size_t length = object.size();
  for (std::size_t offset = 4; offset < length;) {
    const std::string where = "record at object offset " + support::text_size(offset) + ": ";
    if (length - offset < mdb::kPropertyHeaderSize) {
      return where + "shorter than a record header";
    }
    const std::uint32_t id = load_be32(object.data() + offset);
    const std::uint32_t size = load_be32(object.data() + offset + 4);
    const std::uint32_t type_word = load_be32(object.data() + offset + 8);
    if (size < 16 || size % 8 != 0 || size > length - offset) {
      return where + "size " + text_u32(size) +
             " is not a multiple of 8 from 16 to the object's end";
    }
    const std::span<const std::uint8_t> record = object.subspan(offset, size);
    const std::uint32_t code = type_word & ~mdb::kPropertyFlagBit;
    const Decoded decoded = decode(code, record);
    if (decoded.fault) {
      return where + "property " + text_u32(id) + ": " + *decoded.fault;
    }
    // The indexes key an object by the value words of properties 0 and 2,
    // whatever the records' type codes; the engine refuses to index a
    // record too short to hold them.
    if (id == mdb::kOwnIdProperty || id == mdb::kParentIdProperty) {
      const std::optional<mdb::NodeId> key = mdb::record_node_id(record);
      if (!key) return where + "property " + text_u32(id) + ": too short for a node id";
      (id == mdb::kOwnIdProperty ? info.node_id : info.parent) = key;
    }
    if (id == kNodeTypeProperty && code == mdb::kTypeCodeEnum) {
      info.node_type = load_be32(record.data() + mdb::kPropertyHeaderSize);
    }
    if (dump) dump->properties.push_back({id, decoded.type, decoded.value});
    offset += size;
  }
  return std::nullopt;
}

}  // namespace checker
