// Checking a TSDB through tsdb::Reader.
//
// A descriptor whose CRC fails is a problem except in the one state a
// running writer leaves behind: after a rotation the next replica's
// descriptor carries the committed timestamp beside its old first block
// and CRC, and a later header write may put it on disk. Such a descriptor
// is the replica after the current one and carries the current timestamp,
// which is above 0.
#include "server/database/checker/tsdb_check.h"

#include <algorithm>
#include <filesystem>

#include "server/database/checker/block_owners.h"
#include "server/database/checker/mdb_layout.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"
#include "server/database/tsdb/reader.h"

namespace checker {

namespace {

using support::text_u32;
using support::text_u64;

struct Context {
  const tsdb::Reader& reader;
  const std::string& file;
  Report& report;
  BlockOwners owners;
  std::uint64_t highest = 0;  // highest block in use, inside the file or not
};

std::string replica_name(const tsdb::ChainKind& kind, std::uint32_t replica) {
  return std::string(kind.name) + " replica " + text_u32(replica);
}

// What uses blocks: the header, the blocks of a chain replica, or the
// dblocks of an entry of an lblock replica.
OwnerCode replica_owner(const tsdb::ChainKind& kind, std::uint32_t replica) {
  return OwnerCode{1} << 60 | OwnerCode{kind.number} << 8 | replica;
}
OwnerCode dblocks_owner(std::uint32_t replica, std::uint32_t entry) {
  return OwnerCode{2} << 60 | OwnerCode{replica} << 32 | entry;
}

std::string owner_name(OwnerCode owner) {
  const auto replica = static_cast<std::uint32_t>(owner & 0xFF);
  switch (owner >> 60) {
    case 1:
      return replica_name(*tsdb::kChainKinds[(owner >> 8) & 0xFF], replica);
    case 2:
      return replica_name(tsdb::kLblockChain, (owner >> 32) & 0xFF) + " entry " +
             text_u32(static_cast<std::uint32_t>(owner)) + " dblocks";
    default:
      return "header";
  }
}

// Problems of one kind that a walk over many entries may meet at every
// entry: once the report lists as many as it lists of a kind, the rest are
// only counted, so a damaged chain costs no line building per entry.
class EntryProblems {
 public:
  explicit EntryProblems(Report& report) : report_(report) {}
  ~EntryProblems() {
    if (unlisted_ > 0) report_.add_more(last_, unlisted_);
  }
  EntryProblems(const EntryProblems&) = delete;
  EntryProblems& operator=(const EntryProblems&) = delete;

  // `make` adds the problem to the report and returns what problem() gave.
  template <typename Make>
  void add(Make make) {
    if (listed_ == Report::kListedPerKind) {
      ++unlisted_;
    } else {
      ++listed_;
      last_ = make();
    }
  }

 private:
  Report& report_;
  std::uint64_t listed_ = 0, unlisted_ = 0;
  std::size_t last_ = 0;
};

// Blocks [first, first + count) are used by `owner`. Only the part inside
// the file is claimed; what lies beyond shows in the highest block, which
// check_tsdb reports once.
void use_blocks(Context& c, std::uint32_t first, std::uint32_t count, OwnerCode owner,
                EntryProblems& overlaps) {
  if (count == 0) return;
  const std::uint64_t end = std::uint64_t{first} + count;
  c.highest = std::max(c.highest, end - 1);
  const auto overlap = c.owners.claim(first, std::min(end, c.reader.file_blocks()), owner);
  if (!overlap) return;
  overlaps.add([&] {
    std::string text = "block is used by " + owner_name(c.owners.owner_of(overlap->block)) + " too";
    if (overlap->blocks > 1) {
      text += ", and " + text_u64(overlap->blocks - 1) + " more of its blocks are in use already";
    }
    return c.report.problem(c.file, overlap->block, owner_name(owner), text);
  });
}

// Descriptors and the choice of the current replica of `kind`.
std::uint32_t check_descriptors(Context& c, const tsdb::ChainKind& kind) {
  const std::uint32_t chains = c.reader.header().chains;
  const std::uint32_t current = c.reader.current_replica(kind);
  if (current == tsdb::kNoFreeEntry) {
    c.report.problem(c.file, 0, std::string(kind.name) + " descriptors",
                     "no descriptor has a valid CRC");
    return current;
  }
  const std::uint64_t stamp = c.reader.descriptor(kind, current).timestamp;
  for (std::uint32_t r = 0; r < chains; ++r) {
    const tsdb::ChainDescriptor d = c.reader.descriptor(kind, r);
    const std::string structure = replica_name(kind, r) + " descriptor";
    if (!c.reader.descriptor_valid(kind, r)) {
      const bool pending = r == (current + 1) % chains && stamp > 0 && d.timestamp == stamp;
      if (!pending) c.report.problem(c.file, 0, structure, "CRC does not match");
    } else if (r != current && stamp > 0 && d.timestamp == stamp) {
      c.report.problem(c.file, 0, structure,
                       "timestamp " + text_u64(stamp) + " equals the current " +
                           replica_name(kind, current) + "'s");
    }
  }
  return current;
}

// The blocks of a replica are claimed in runs of consecutive blocks, in the
// order of the file: one claim per element, however scattered.
tsdb::ReplicaWalk walk_replica(Context& c, const tsdb::ChainKind& kind, std::uint32_t replica) {
  tsdb::ReplicaWalk walk = c.reader.walk(kind, replica);
  const std::string name = replica_name(kind, replica);
  for (const tsdb::ChainFault& fault : walk.faults) {
    c.report.problem(c.file, fault.block, name, fault.text);
  }
  // A block past the end is reported as one line with the file's size.
  c.highest = std::max<std::uint64_t>(c.highest, walk.past_end);
  EntryProblems overlaps(c.report);
  std::vector<std::uint32_t> blocks = walk.blocks;
  std::sort(blocks.begin(), blocks.end());
  for (std::size_t i = 0, j = 0; i < blocks.size(); i = j) {
    for (j = i + 1; j < blocks.size() && blocks[j] == blocks[j - 1] + 1;) ++j;
    use_blocks(c, blocks[i], static_cast<std::uint32_t>(j - i), replica_owner(kind, replica),
               overlaps);
  }
  return walk;
}

// Visits the entries of a walked replica; a replica whose blocks can no
// longer be read (the file shrank under the check) is a problem.
void each_entry(Context& c, const tsdb::ReplicaWalk& walk, const tsdb::EntryVisitor& visit) {
  if (!c.reader.each_entry(walk, visit)) {
    c.report.problem(c.file, std::nullopt,
                     replica_name(*tsdb::kChainKinds[walk.kind], walk.replica),
                     "blocks could not be read again");
  }
}

// The entries are read from the file as they are needed, twice for the
// lblock replica (which lblocks are used, then each used one), so no copy
// of a replica is held whatever its size.
void check_entries(Context& c, const tsdb::ReplicaWalk& lblocks, const tsdb::ReplicaWalk& checks,
                   const tsdb::ReplicaWalk& heads, const tsdb::ReplicaWalk& tails) {
  const std::uint32_t block_size = c.reader.header().block_size;
  const std::uint32_t lblock_count = lblocks.capacity(block_size);
  const std::string lname = replica_name(tsdb::kLblockChain, lblocks.replica);
  std::vector<bool> used(lblock_count);
  each_entry(c, lblocks,
             [&used](std::uint32_t e, const tsdb::EntryValue& v) { used[e] = v[0] != 0; });
  std::uint64_t used_lblocks = 0;
  std::uint32_t highest_lblock = 0;
  EntryProblems empty(c.report), loose(c.report), overlaps(c.report);
  each_entry(c, lblocks, [&](std::uint32_t e, const tsdb::EntryValue& v) {
    if (!used[e]) return;
    ++used_lblocks;
    highest_lblock = std::max(highest_lblock, e);  // a scattered replica is read in file order
    const auto structure = [&] { return lname + " entry " + text_u32(e); };
    if (v[1] == 0) {
      empty.add(
          [&] { return c.report.problem(c.file, v[0], structure(), "level has no dblocks"); });
    }
    if (v[2] != 0 && (v[2] >= lblock_count || !used[v[2]])) {
      loose.add([&] {
        return c.report.problem(c.file, v[0], structure(),
                                "next level " + text_u32(v[2]) + " is not a used lblock");
      });
    }
    use_blocks(c, v[0], v[1], dblocks_owner(lblocks.replica, e), overlaps);
  });
  const std::string cname = replica_name(tsdb::kCheckChain, checks.replica);
  std::uint64_t series = 0;
  EntryProblems datatypes(c.report), free_levels(c.report);
  each_entry(c, checks, [&](std::uint32_t e, const tsdb::EntryValue& v) {
    if (v[0] == 0) return;
    ++series;
    const auto structure = [&] { return cname + " entry " + text_u32(e); };
    if (v[0] > 4) {
      datatypes.add([&] {
        return c.report.problem(c.file, std::nullopt, structure(),
                                "datatype " + text_u32(v[0]) + " is not 1 to 4");
      });
    }
    if (v[1] >= lblock_count || !used[v[1]]) {
      free_levels.add([&] {
        return c.report.problem(
            c.file, std::nullopt, structure(),
            "names lblock " + text_u32(v[1]) + ", free in the current " + lname);
      });
    }
  });
  if (used_lblocks > 0) {
    for (const tsdb::ReplicaWalk* walk : {&heads, &tails}) {
      if (walk->capacity(block_size) <= highest_lblock) {
        c.report.problem(c.file, std::nullopt,
                         replica_name(*tsdb::kChainKinds[walk->kind], walk->replica),
                         "holds no pointer for lblock " + text_u32(highest_lblock));
      }
    }
  }
  c.report.fact("tsdb.lblocks_used", used_lblocks);
  c.report.fact("tsdb.series", series);
}

}  // namespace

void check_tsdb(const std::string& path, Report& report) {
  const std::string file = std::filesystem::path(path).filename().string();
  report.fact("tsdb.path", path);
  if (!readable_length(path)) throw Unopenable{"cannot open " + path};
  tsdb::Reader reader;
  try {
    reader.open(path);
  } catch (const error::Exception& e) {
    report.problem(file, 0, "header", e.text());
    return;
  }
  const tsdb::HeaderFields& header = reader.header();
  report.fact("tsdb.bytes", reader.file_bytes());
  report.fact("tsdb.block_size", header.block_size);
  report.fact("tsdb.blocks", reader.file_blocks());
  report.fact("tsdb.replicas", header.chains);
  if (reader.file_bytes() % header.block_size != 0) {
    report.problem(file, std::nullopt, "layout",
                   "length " + text_u64(reader.file_bytes()) + " is not a whole number of blocks");
  }
  Context c{reader, file, report, BlockOwners(reader.file_blocks()), 0};
  EntryProblems none(report);
  use_blocks(c, 0, 1, 0, none);
  std::vector<tsdb::ReplicaWalk> current(tsdb::kChainKindCount);
  bool all_current = true;
  for (const tsdb::ChainKind* kind : tsdb::kChainKinds) {
    const std::uint32_t chosen = check_descriptors(c, *kind);
    for (std::uint32_t r = 0; r < header.chains; ++r) {
      tsdb::ReplicaWalk walk = walk_replica(c, *kind, r);
      if (r == chosen) current[kind->number] = std::move(walk);
    }
    if (chosen == tsdb::kNoFreeEntry) {
      all_current = false;
    } else {
      report.fact("tsdb.current." + std::string(kind->name), chosen);
    }
  }
  if (all_current) {
    check_entries(c, current[2], current[3], current[0], current[1]);
  }
  report.fact("tsdb.blocks_in_use", c.owners.in_use());
  if (c.highest >= reader.file_blocks()) {
    report.problem(file, std::nullopt, "allocation",
                   "the file holds " + text_u64(reader.file_blocks()) +
                       " blocks, but its chains and series use blocks up to " +
                       text_u64(c.highest));
  }
}

}  // namespace checker
