// Checking a TSDB through tsdb::Reader.
//
// A descriptor whose CRC fails is a problem except in the one state a
// running writer leaves behind: after a rotation the next replica's
// descriptor carries the committed timestamp beside its old first block
// and CRC, and a later header write may put it on disk. Such a descriptor
// is the replica after the current one and carries the current timestamp,
// which is above 0.
#include "server/database/checker/tsdb_check.h"

#include <filesystem>
#include <map>

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
  // Every block in use, with what uses it; 0 is the header.
  std::map<std::uint32_t, std::string> owners;
  std::uint64_t highest = 0;  // highest block in use
};

std::string replica_name(const tsdb::ChainKind& kind, std::uint32_t replica) {
  return std::string(kind.name) + " replica " + text_u32(replica);
}

void use_blocks(Context& c, std::uint32_t first, std::uint32_t count,
                const std::string& owner) {
  for (std::uint64_t b = first; b < std::uint64_t{first} + count; ++b) {
    c.highest = std::max(c.highest, b);
    if (b >= c.reader.file_blocks()) continue;  // reported as one line
    const auto [it, fresh] = c.owners.emplace(static_cast<std::uint32_t>(b), owner);
    if (!fresh) {
      c.report.problem(c.file, b, owner, "block is used by " + it->second + " too");
    }
  }
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
      const bool pending = r == (current + 1) % chains && stamp > 0 &&
                           d.timestamp == stamp;
      if (!pending) c.report.problem(c.file, 0, structure, "CRC does not match");
    } else if (r != current && stamp > 0 && d.timestamp == stamp) {
      c.report.problem(c.file, 0, structure,
                       "timestamp " + text_u64(stamp) + " equals the current " +
                           replica_name(kind, current) + "'s");
    }
  }
  return current;
}

tsdb::ReplicaWalk walk_replica(Context& c, const tsdb::ChainKind& kind,
                               std::uint32_t replica) {
  tsdb::ReplicaWalk walk = c.reader.walk(kind, replica);
  const std::string name = replica_name(kind, replica);
  for (const tsdb::ChainFault& fault : walk.faults) {
    c.report.problem(c.file, fault.block, name, fault.text);
  }
  // A block past the end is reported as one line with the file's size.
  c.highest = std::max<std::uint64_t>(c.highest, walk.past_end);
  for (const std::uint32_t b : walk.blocks) use_blocks(c, b, 1, name);
  return walk;
}

void check_entries(Context& c, const tsdb::ReplicaWalk& lblocks,
                   const tsdb::ReplicaWalk& checks,
                   const tsdb::ReplicaWalk& heads,
                   const tsdb::ReplicaWalk& tails) {
  const std::uint32_t block_size = c.reader.header().block_size;
  const std::uint32_t lblock_count = lblocks.capacity(block_size);
  const std::string lname = replica_name(tsdb::kLblockChain, lblocks.replica);
  std::uint64_t used_lblocks = 0;
  std::uint32_t highest_lblock = 0;
  for (std::uint32_t e = 0; e < lblock_count; ++e) {
    const tsdb::EntryValue v = lblocks.entry(e, block_size);
    if (v[0] == 0) continue;
    ++used_lblocks;
    highest_lblock = e;
    const std::string structure = lname + " entry " + text_u32(e);
    if (v[1] == 0) c.report.problem(c.file, v[0], structure, "level has no dblocks");
    if (v[2] != 0 && (v[2] >= lblock_count || lblocks.entry(v[2], block_size)[0] == 0)) {
      c.report.problem(c.file, v[0], structure,
                       "next level " + text_u32(v[2]) + " is not a used lblock");
    }
    use_blocks(c, v[0], v[1], structure + " dblocks");
  }
  const std::string cname = replica_name(tsdb::kCheckChain, checks.replica);
  std::uint64_t series = 0;
  for (std::uint32_t e = 0; e < checks.capacity(block_size); ++e) {
    const tsdb::EntryValue v = checks.entry(e, block_size);
    if (v[0] == 0) continue;
    ++series;
    const std::string structure = cname + " entry " + text_u32(e);
    if (v[0] > 4) {
      c.report.problem(c.file, std::nullopt, structure,
                       "datatype " + text_u32(v[0]) + " is not 1 to 4");
    }
    if (v[1] >= lblock_count || lblocks.entry(v[1], block_size)[0] == 0) {
      c.report.problem(c.file, std::nullopt, structure,
                       "names lblock " + text_u32(v[1]) + ", free in the current " +
                           lname);
    }
  }
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
                   "length " + text_u64(reader.file_bytes()) +
                       " is not a whole number of blocks");
  }
  Context c{reader, file, report, {}, 0};
  c.owners.emplace(0, "header");
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
  report.fact("tsdb.blocks_in_use", c.owners.size());
  if (c.highest >= reader.file_blocks()) {
    report.problem(file, std::nullopt, "allocation",
                   "the file holds " + text_u64(reader.file_blocks()) +
                       " blocks, but its chains and series use blocks up to " +
                       text_u64(c.highest));
  }
}

}  // namespace checker
