// Scanning the blocks of an opened MDB.
#include "server/database/checker/block_scan.h"

#include <algorithm>

#include "server/database/mdb/allocation_map.h"
#include "server/database/mdb/index_format.h"
#include "server/database/mdb/object_pieces.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/text_format.h"

namespace checker {

namespace {

using support::text_u32;

const char* state_name(std::uint8_t state) {
  switch (state) {
    case mdb::block_empty:
      return "empty";
    case mdb::block_used:
      return "used";
    case mdb::block_full:
      return "full";
    case mdb::block_index_root:
      return "index root";
    case mdb::block_index_node:
      return "index node";
    case mdb::block_index_leaf:
      return "leaf";
    default:
      return "unknown";
  }
}

// Parses the pieces of a block whose first word is no index magic: the
// objects, the free space, and the fault of the first bad piece.
struct Pieces {
  std::uint32_t objects = 0;
  std::uint32_t free = 0;  // bytes in placeholders
  bool single_placeholder = false;
  std::optional<std::string> fault;
  // The first placeholder that follows a placeholder: freeing merges them.
  std::optional<std::uint32_t> second_placeholder;
};

Pieces parse_pieces(std::uint32_t n, const std::vector<std::uint8_t>& data, const std::string& file,
                    bool dump, BlockScan& scan, Report& report) {
  Pieces result;
  const auto size = static_cast<std::uint32_t>(data.size());
  result.single_placeholder = support::load_be32(data.data()) == size + mdb::kPlaceholderBit;
  std::uint32_t offset = 0;
  bool after_placeholder = false;
  while (offset < size && !result.fault) {
    const std::uint32_t header = mdb::piece_header(data.data(), offset);
    const std::uint32_t length = mdb::piece_length(header);
    const char* kind = mdb::is_placeholder(header) ? "placeholder" : "object";
    if (header < 2 || length % 4 != 0 || length > size - offset) {
      scan.broken_from[n] = offset;
    }
    if (header < 2 || length % 4 != 0) {
      result.fault =
          std::string(kind) + " at offset " + text_u32(offset) + " has length " + text_u32(length);
      break;
    }
    if (length > size - offset) {
      result.fault = std::string(kind) + " at offset " + text_u32(offset) + " has length " +
                     text_u32(length) + ", past the block's end";
      break;
    }
    if (mdb::is_placeholder(header)) {
      if (after_placeholder && !result.second_placeholder) result.second_placeholder = offset;
      result.free += length;
    } else {
      ++result.objects;
      ObjectInfo info;
      info.ref = {n, offset};
      DumpedObject dumped;
      dumped.ref = ref_text({n, offset});
      const std::optional<std::string> fault =
          parse_object(std::span(data).subspan(offset, length), info, dump ? &dumped : nullptr);
      if (fault) {
        report.problem(file, n, "object " + ref_text({n, offset}), *fault);
        scan.damaged.insert({n, offset});
      } else {
        scan.objects[{n, offset}] = info;
        if (dump) report.object(std::move(dumped));
      }
    }
    after_placeholder = mdb::is_placeholder(header);
    offset += length;
  }
  return result;
}

}  // namespace

std::string ref_text(const RefKey& ref) { return text_u32(ref.first) + ":" + text_u32(ref.second); }

BlockScan scan_blocks(const MdbBlocks& mdb, const std::string& file, bool dump, bool uncut,
                      Report& report) {
  BlockScan scan;
  std::vector<std::uint8_t> map, data;
  for (std::uint32_t n = mdb.first_map_block; n < mdb.first_data_block; ++n) {
    mdb.read(n, data);
    map.insert(map.end(), data.begin(), data.end());
  }
  scan.blocks = static_cast<std::uint32_t>(std::min<std::uint64_t>(mdb.blocks, map.size()));
  scan.states.assign(map.begin(), map.begin() + scan.blocks);
  const auto beyond =
      std::find_if(map.begin() + scan.blocks, map.end(), [](std::uint8_t s) { return s != 0; });
  if (beyond != map.end()) {
    report.problem(
        file, static_cast<std::uint64_t>(beyond - map.begin()), "allocation map",
        "state " + std::string(state_name(*beyond)) + " for a block past the end of the file");
  }
  std::uint32_t in_use = 0;
  for (std::uint32_t n = 0; n < scan.blocks; ++n) {
    const std::uint8_t state = scan.states[n];
    if (state != mdb::block_empty) ++in_use;
    const auto contradiction = [&](const std::string& holds) {
      report.problem(file, n, "allocation map",
                     "state " + std::string(state_name(state)) + ", but the block " + holds);
    };
    if (n < mdb.first_data_block) {
      if (state != mdb::block_empty) contradiction("lies before the data blocks");
      continue;
    }
    if (state > mdb::block_index_leaf || state == 3) {
      contradiction("has no such state");
      continue;
    }
    mdb.read(n, data);
    const std::uint32_t magic = mdb::block_magic(data.data());
    const bool index_block = magic == mdb::kIndexNodeMagic || magic == mdb::kIndexLeafMagic;
    const bool zero = std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0; });
    if (state >= mdb::block_index_root) {
      continue;  // the index walk checks these
    }
    if (index_block) {
      contradiction(magic == mdb::kIndexLeafMagic ? "is a leaf" : "is an index node");
      continue;
    }
    if (zero) {
      if (state != mdb::block_empty) contradiction("is all zero");
      continue;
    }
    const Pieces pieces = parse_pieces(n, data, file, dump, scan, report);
    if (state == mdb::block_empty) {
      if (pieces.fault) {
        contradiction("holds data");
      } else if (!pieces.single_placeholder) {
        contradiction("holds " + text_u32(pieces.objects) + " objects");
      }
    } else if (pieces.fault) {
      report.problem(file, n, "object block", *pieces.fault);
    } else {
      if (pieces.objects == 0 && uncut) {
        contradiction("holds no object");
      } else if (state == mdb::block_full && pieces.free >= mdb.block_size / 4) {
        // An allocation that finds less than a quarter free marks a block full; a free that
        // leaves a quarter or more marks it used again.
        contradiction("has " + text_u32(pieces.free) + " bytes free, a quarter or more");
      }
      if (pieces.second_placeholder) {
        report.problem(file, n, "object block",
                       "placeholder at offset " + text_u32(*pieces.second_placeholder) +
                           " follows another placeholder");
      }
    }
  }
  report.fact("mdb.blocks_in_use", in_use);
  return scan;
}

}  // namespace checker
