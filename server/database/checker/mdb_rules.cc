// Applying the MDB rules in order: the blocks against the map, then each
// tree, its entries against the objects, and the index blocks no tree
// reached.
#include "server/database/checker/mdb_rules.h"

#include <map>
#include <set>
#include <utility>

#include "server/database/support/text_format.h"

namespace checker {

namespace {

using support::text_u32;

// Holds the entries of one index against the objects: every entry names
// an object whose property (node id or parent id) is its key, and every
// object with that property has exactly one entry.
// True when no problem was found.
bool match_entries(const std::string& name, const TreeCheck& tree, bool by_parent,
                   const BlockScan& scan, const std::string& file, Report& report) {
  const std::uint64_t problems_before = report.problem_count();
  const auto key_of = [by_parent](const ObjectInfo& info) {
    return by_parent ? info.parent : info.node_id;
  };
  // The objects no entry has named yet, by key, so that an entry naming no
  // object finds the one it should have named in one lookup.
  std::set<std::pair<mdb::NodeId, RefKey>> unnamed;
  for (const auto& [ref, info] : scan.objects) {
    if (key_of(info)) unnamed.emplace(*key_of(info), ref);
  }
  std::map<RefKey, std::uint32_t> counts;
  const auto count = [&](const RefKey& ref) {
    ++counts[ref];
    const auto key = key_of(scan.objects.at(ref));
    if (key) unnamed.erase({*key, ref});
  };
  for (const IndexEntry& entry : tree.entries) {
    const RefKey ref{entry.data.block, entry.data.offset};
    const std::string structure = name + " entry " + mdb::to_text(entry.key);
    if (scan.reported(ref)) continue;
    const auto found = scan.objects.find(ref);
    if (found == scan.objects.end()) {
      std::string text = "names " + ref_text(ref) + ", where no object starts";
      // The object the entry should have named counts as indexed, so the
      // one fault gives one line.
      const auto candidate = unnamed.lower_bound({entry.key, RefKey{0, 0}});
      if (candidate != unnamed.end() && candidate->first == entry.key) {
        text += " (the object " + mdb::to_text(entry.key) + " is at " +
                ref_text(candidate->second) + ")";
        count(candidate->second);
      }
      report.problem(file, entry.data.block, structure, text);
      continue;
    }
    const auto& property = by_parent ? found->second.parent : found->second.node_id;
    if (property != entry.key) {
      report.problem(file, entry.data.block, structure,
                     "names " + ref_text(ref) + ", an object with another key");
    }
    count(ref);
  }
  for (const auto& [ref, info] : scan.objects) {
    if (!key_of(info)) continue;
    const std::uint32_t entries = counts.count(ref) ? counts[ref] : 0;
    if (entries != 1) {
      report.problem(file, ref.first, "object " + ref_text(ref),
                     "has " + text_u32(entries) + " entries in the " + name + ", expected 1");
    }
  }
  return report.problem_count() == problems_before;
}

}  // namespace

MdbRuleResult check_mdb_blocks(const MdbBlocks& mdb, const std::string& file,
                               const MdbRuleOptions& options, Report& report) {
  MdbRuleResult result;
  result.scan = scan_blocks(mdb, file, options.dump, options.uncut, report);
  const BlockScan& scan = result.scan;
  std::vector<bool> reached(scan.blocks, false);
  static const char* const kNames[] = {"NodeId index", "ParentId index"};
  static const char* const kFacts[] = {"index.node_id", "index.parent_id"};
  std::vector<TreeCheck>& trees = result.trees;
  for (std::size_t i = 0; i < mdb.roots.size(); ++i) {
    const std::string name = i < 2 ? kNames[i] : "index " + text_u32(static_cast<std::uint32_t>(i));
    trees.push_back(check_tree(name, mdb.roots[i], i == 0, mdb, scan, file, reached, report));
    if (i >= 2) continue;
    const std::string fact = kFacts[i];
    if (!trees.back().created) {
      report.fact(fact, "not created");
      if (!scan.objects.empty()) {
        report.problem(file, mdb.roots[i], name + " root",
                       "was never created, but the database holds objects");
      }
      continue;
    }
    report.fact(fact + ".entries", trees.back().entries.size());
    report.fact(fact + ".leaves", trees.back().leaves);
    if (!options.entries_name_objects) continue;
    const bool matched = match_entries(name, trees.back(), i == 1, scan, file, report);
    if (i == 0) result.node_ids_match = matched;
  }
  report_lost_index_blocks(scan, reached, file, report);
  std::map<std::string, std::uint64_t> by_type;
  for (const auto& [ref, info] : scan.objects) {
    ++by_type[info.node_type ? node_type_name(*info.node_type) : "untyped"];
  }
  report.fact("objects", scan.objects.size());
  for (const auto& [type, count] : by_type) report.fact("objects." + type, count);
  return result;
}

std::string problem_lines(const Report& report) {
  std::string lines;
  for (const Problem& problem : report.problems()) lines += problem_line(problem) + "\n";
  return lines;
}

}  // namespace checker
