// Running the MDB checks in order: header, journal, the rules on the blocks
// a read-only open shows, and the engine's own lookups.
#include "server/database/checker/mdb_check.h"

#include <filesystem>

#include "server/database/checker/journal_check.h"
#include "server/database/checker/mdb_layout.h"
#include "server/database/checker/mdb_rules.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/open_set.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace checker {

namespace {

namespace fs = std::filesystem;
using support::text_u32;

std::string base_name(const std::string& path) { return fs::path(path).filename().string(); }

// The external journal to check: --journal; else, for a set given as a
// directory, the main.odbj in it, the set's own journal after a copy or a
// move; else the header's path. A server opens the header's journal only,
// so an own journal that the header does not name is a problem.
std::string journal_to_use(const MdbPaths& paths, const MdbLayout& layout, const std::string& file,
                           Report& report) {
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

// Asks the engine's own lookup for every object's node id.
void check_lookups(const BlockScan& scan, const std::string& file, Report& report) {
  for (const auto& [ref, info] : scan.objects) {
    if (!info.node_id) continue;
    const std::optional<mdb::ObjectRef> found = mdb::find_object(*info.node_id);
    if (!found || found->block != ref.first || found->offset != ref.second) {
      report.problem(file, ref.first, "object " + ref_text(ref),
                     "the engine's lookup of " + mdb::to_text(*info.node_id) + " does not find it");
    }
  }
}

void check_opened(const MdbLayout& layout, const std::string& file, bool dump, Report& report) {
  mdb::BackingStore& store = mdb::database().store;
  const MdbBlocks blocks{layout.block_size,
                         store.length() / layout.block_size,
                         layout.first_map_block,
                         layout.first_data_block,
                         layout.roots,
                         [&store](std::uint32_t n, std::vector<std::uint8_t>& buffer) {
                           buffer.resize(store.block_size());
                           store.read_blocks(buffer.data(), n, 1);
                         }};
  const MdbRuleResult rules = check_mdb_blocks(blocks, file, {dump, true, false}, report);
  // The engine's lookup only where its descent cannot meet a damaged tree
  // and the index is known to match the objects.
  if (rules.trees[0].created && rules.trees[0].sound && rules.node_ids_match) {
    check_lookups(rules.scan, file, report);
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
  check_journal(*layout, paths.mdb, journal, layout->internal_journal ? file : base_name(journal),
                report);
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
