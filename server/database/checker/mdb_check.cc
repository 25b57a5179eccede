// Running the MDB checks in order and holding the index entries against
// the objects.
#include "server/database/checker/mdb_check.h"

#include <filesystem>
#include <map>
#include <set>
#include <utility>

#include "server/database/checker/block_scan.h"
#include "server/database/checker/index_check.h"
#include "server/database/checker/journal_check.h"
#include "server/database/checker/mdb_layout.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/open_set.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace checker {

namespace {

namespace fs = std::filesystem;
using support::text_u32;

std::string base_name(const std::string& path) {
  return fs::path(path).filename().string();
}

// The external journal to check: --journal; else, for a set given as a
// directory, the main.odbj in it, the set's own journal after a copy or a
// move; else the header's path. A server opens the header's journal only,
// so an own journal that the header does not name is a problem.
std::string journal_to_use(const MdbPaths& paths, const MdbLayout& layout,
                           const std::string& file, Report& report) {
  if (!paths.journal.empty()) return paths.journal;
  std::error_code error;
  const std::string own = (fs::path(paths.directory) / "main.odbj").string();
  if (paths.directory.empty() || !fs::exists(own, error)) return layout.journal_path;
  if (!fs::equivalent(own, layout.journal_path, error)) {
    const bool named_exists = fs::exists(layout.journal_path, error);
    report.problem(file, 0, "header",
                   "journal path " + layout.journal_path + " is not " + own +
                       ", the journal in the set's directory; a server would open " +
                       layout.journal_path + (named_exists ? "" : ", which does not exist") +
                       "; to mend: vexmon-dbadmin relocate " + paths.directory);
  }
  return own;
}

// Holds the entries of one index against the objects: every entry names
// an object whose property (node id or parent id) is its key, and every
// object with that property has exactly one entry.
// True when no problem was found.
bool match_entries(const std::string& name, const TreeCheck& tree,
                   bool by_parent, const BlockScan& scan,
                   const std::string& file, Report& report) {
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
                     "has " + text_u32(entries) + " entries in the " + name +
                         ", expected 1");
    }
  }
  return report.problem_count() == problems_before;
}

// Asks the engine's own lookup for every object's node id.
void check_lookups(const BlockScan& scan, const std::string& file,
                   Report& report) {
  for (const auto& [ref, info] : scan.objects) {
    if (!info.node_id) continue;
    const std::optional<mdb::ObjectRef> found = mdb::find_object(*info.node_id);
    if (!found || found->block != ref.first || found->offset != ref.second) {
      report.problem(file, ref.first, "object " + ref_text(ref),
                     "the engine's lookup of " + mdb::to_text(*info.node_id) +
                         " does not find it");
    }
  }
}

void check_opened(const MdbLayout& layout, const std::string& file, bool dump,
                  Report& report) {
  const BlockScan scan = scan_blocks(layout, file, dump, report);
  std::vector<bool> reached(scan.blocks, false);
  static const char* const kNames[] = {"NodeId index", "ParentId index"};
  static const char* const kFacts[] = {"index.node_id", "index.parent_id"};
  std::vector<TreeCheck> trees;
  bool node_ids_match = false;
  for (std::size_t i = 0; i < layout.roots.size(); ++i) {
    const std::string name =
        i < 2 ? kNames[i] : "index " + text_u32(static_cast<std::uint32_t>(i));
    trees.push_back(check_tree(name, layout.roots[i], i == 0, scan, file,
                               reached, report));
    if (i >= 2) continue;
    const std::string fact = kFacts[i];
    if (!trees.back().created) {
      report.fact(fact, "not created");
      if (!scan.objects.empty()) {
        report.problem(file, layout.roots[i], name + " root",
                       "was never created, but the database holds objects");
      }
      continue;
    }
    report.fact(fact + ".entries", trees.back().entries.size());
    report.fact(fact + ".leaves", trees.back().leaves);
    const bool matched =
        match_entries(name, trees.back(), i == 1, scan, file, report);
    if (i == 0) node_ids_match = matched;
  }
  report_lost_index_blocks(scan, reached, file, report);
  std::map<std::string, std::uint64_t> by_type;
  for (const auto& [ref, info] : scan.objects) {
    ++by_type[info.node_type ? node_type_name(*info.node_type) : "untyped"];
  }
  report.fact("objects", scan.objects.size());
  for (const auto& [type, count] : by_type) report.fact("objects." + type, count);
  // The engine's lookup only where its descent cannot meet a damaged tree
  // and the index is known to match the objects.
  if (trees[0].created && trees[0].sound && node_ids_match) {
    check_lookups(scan, file, report);
  }
}

}  // namespace

void check_mdb(const MdbPaths& paths, bool dump, Report& report) {
  const std::string file = base_name(paths.mdb);
  report.fact("mdb.path", paths.mdb);
  const std::optional<MdbLayout> layout = check_mdb_header(paths.mdb, file, report);
  if (!layout) return;
  report.fact("mdb.bytes", layout->file_bytes);
  report.fact("mdb.block_size", layout->block_size);
  report.fact("mdb.blocks", layout->blocks());
  report.fact("mdb.first_map_block", layout->first_map_block);
  report.fact("mdb.first_data_block", layout->first_data_block);
  const std::string journal =
      layout->internal_journal ? std::string() : journal_to_use(paths, *layout, file, report);
  if (!layout->internal_journal && !readable_length(journal)) {
    throw Unopenable{"cannot open the journal " + journal};
  }
  check_journal(*layout, paths.mdb, journal,
                layout->internal_journal ? file : base_name(journal), report);
  // The engine's own lines would mix with the report.
  mdb::diagnostic_mask().set(0);
  try {
    mdb::open_set(paths.mdb, {journal, true});
  } catch (const mdb::error_in_use& e) {
    // Another process holds the set: it cannot be checked now.
    throw Unopenable{e.text()};
  } catch (const error::Exception& e) {
    report.problem(file, std::nullopt, "open", e.text());
    return;
  }
  try {
    check_opened(*layout, file, dump, report);
  } catch (const error::Exception& e) {
    report.problem(file, std::nullopt, "engine", e.text());
  }
  mdb::close_set();
}

}  // namespace checker
