// Helpers of the model-based tests: how many seeds and operations a run takes, the entries of
// an index as a list, and the checker's rules on the open set.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "server/database/checker/mdb_rules.h"
#include "server/database/mdb/allocation_map.h"
#include "server/database/mdb/buffer_cache.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_format.h"

namespace mdb_testing {

// The seeds of a model test and the operations per seed: `seeds` seeds in a normal run, twenty
// times as many with ten times the operations under VEXMON_LONG_TESTS=1, and seed n alone under
// VEXMON_MODEL_SEED=n, so that a failure can be replayed.
struct ModelRun {
  std::vector<std::uint32_t> seeds;
  std::uint32_t operations;
  bool long_run = false;
  bool replaying = false;

  ModelRun(std::uint32_t seed_count, std::uint32_t operations_per_seed) {
    const char* long_tests = std::getenv("VEXMON_LONG_TESTS");
    long_run = long_tests != nullptr && std::string(long_tests) == "1";
    operations = operations_per_seed * (long_run ? 10 : 1);
    if (const char* seed = std::getenv("VEXMON_MODEL_SEED"); seed && *seed) {
      replaying = true;
      seeds.push_back(static_cast<std::uint32_t>(std::strtoul(seed, nullptr, 10)));
      return;
    }
    for (std::uint32_t s = 1; s <= seed_count * (long_run ? 20 : 1); ++s) {
      seeds.push_back(s);
    }
  }
  std::string replay(std::uint32_t seed) const {
    return "seed " + std::to_string(seed) + " (replay: VEXMON_MODEL_SEED=" + std::to_string(seed) +
           (long_run ? " VEXMON_LONG_TESTS=1)" : ")");
  }
};

using IndexEntries = std::vector<std::pair<mdb::NodeId, mdb::ObjectRef>>;

// Empty when the lists are equal, else where they first differ.
inline std::string first_difference(const IndexEntries& expected, const IndexEntries& found) {
  const auto text = [](const IndexEntries& entries, std::size_t i) {
    return i < entries.size()
               ? mdb::key_text(entries[i].first) + "->" + mdb::data_text(entries[i].second)
               : std::string("none");
  };
  for (std::size_t i = 0; i < std::max(expected.size(), found.size()); ++i) {
    if (i >= expected.size() || i >= found.size() || expected[i] != found[i]) {
      return "entry " + std::to_string(i) + ": expected " + text(expected, i) + ", found " +
             text(found, i);
    }
  }
  return {};
}

// The checker's rules on the set the engine holds open, its blocks as private copies show them
// (the committed state, outside a transaction): the report, empty when sound, and what the rules
// read. Without `entries_name_objects` the index entries are not held against the objects; with
// `uncut` no crash has cut an allocation short, so every object block holds an object.
struct RulesCheck {
  checker::Report report;
  checker::MdbRuleResult read;
  std::string problems() const { return checker::problem_lines(report); }
};
inline RulesCheck check_rules(bool entries_name_objects, bool uncut) {
  const mdb::BackingStore& store = mdb::database().store;
  const mdb::AllocationMap& map = mdb::allocation_map();
  checker::MdbBlocks blocks{
      store.block_size(),
      store.length() / store.block_size(),
      map.first_map_block(),
      map.first_map_block() + map.map_blocks(),
      {},
      [](std::uint32_t n, std::vector<std::uint8_t>& buffer) { buffer = mdb::private_copy(n); }};
  for (std::uint32_t i = 0; i < mdb::index_root_count(); ++i) {
    blocks.roots.push_back(mdb::index_root(i));
  }
  RulesCheck check;
  check.read = checker::check_mdb_blocks(blocks, "main.odb", {false, entries_name_objects, uncut},
                                         check.report);
  return check;
}

// The entries of a tree the rules walked, in tree order.
inline IndexEntries entries_of(const checker::TreeCheck& tree) {
  IndexEntries entries;
  for (const checker::IndexEntry& entry : tree.entries) entries.emplace_back(entry.key, entry.data);
  return entries;
}

}  // namespace mdb_testing
