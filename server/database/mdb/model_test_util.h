// Helpers of the model-based tests: how many seeds and operations a run takes, the entries of
// an index as a list, the checker's rules on the open set, and the fixture that runs the seeds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "server/database/checker/mdb_rules.h"
#include "server/database/mdb/allocation_map.h"
#include "server/database/mdb/buffer_cache.h"
#include "server/database/mdb/database.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_format.h"
#include "server/database/mdb/mdb_test_fixture.h"
#include "server/database/support/errors.h"

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

// The fixture of a model test: for each seed a new database of 1024-byte blocks with its indexes
// and a buffer cache of random capacity, on which batches of random operations run until the
// run's operations are done.
class ModelTest : public MdbFixture {
 protected:
  std::uint32_t random(std::uint32_t n) { return rng_() % n; }

  // The model of a seed: cleared before the seed starts, changed by a batch of random operations
  // (each counted in `done` before the next starts) and held to the database by `check`, which
  // returns the first broken rule.
  virtual void clear_model() = 0;
  virtual void batch(std::uint32_t& done) = 0;
  virtual std::string check() = 0;

  // Runs every seed of `plan`. A check follows a batch once `gap` and a random part of `spread`
  // operations have passed since the last one; after every eighth check the database is closed
  // and opened again, with another cache capacity.
  void run_seeds(const ModelRun& plan, std::uint32_t gap, std::uint32_t spread) {
    for (std::uint32_t seed : plan.seeds) {
      SCOPED_TRACE(plan.replay(seed));
      rng_.seed(seed);
      clear_model();
      start_with_indexes(small_layout());
      mdb::set_buffer_cache_capacity(4 + random(60));
      std::uint32_t next_check = 0;
      std::uint32_t checks = 0;
      for (std::uint32_t done = 0; done < plan.operations;) {
        try {
          batch(done);
          if (HasFatalFailure()) return;
          if (done < next_check) continue;
          next_check = done + gap + random(spread);
          ASSERT_EQ(check(), "") << "after operation " << done << ", " << last_;
          if (++checks % 8 == 0) {
            reopen_with_indexes();
            mdb::set_buffer_cache_capacity(4 + random(60));
          }
        } catch (const error::Exception& e) {
          FAIL() << "operation " << done << ", " << last_ << ": " << e.text();
        }
      }
      shut_down();
    }
  }

  std::mt19937 rng_;
  std::string last_;  // the operation that runs or ran last
};

}  // namespace mdb_testing
