// A random workload of an MDB session for the tests that break one (power
// cuts, failed calls): object creates, rewrites and deletes through the
// object and index layers, in steps that are committed alone or inside a
// transaction of the test's own that ends synchronously or not. The steps
// are kept, so a model of the objects after any step can be rebuilt, and
// read_back() gives what a database holds, in the same form.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "server/database/mdb/header.h"
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/index_operations.h"
#include "server/database/mdb/model_test_util.h"
#include "server/database/mdb/object_pieces.h"
#include "server/database/mdb/object_records.h"
#include "server/database/mdb/object_store.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/metrics_table.h"
#include "server/database/support/test_util.h"

namespace mdb_testing {

using Bytes = std::vector<std::uint8_t>;
inline constexpr mdb::ObjectRef kNewObject{0xFFFFFFFFu, 0xFFFFFFFFu};
inline constexpr mdb::NodeId kTopParent{0, 1};

// What an object holds: its property records as the serialization cache produced them, its
// parent's (for the ParentId index) among them.
using Stored = Bytes;
using Model = std::map<mdb::NodeId, Stored>;
// A committed step: each id either gets an object or loses it.
using Step = std::vector<std::pair<mdb::NodeId, std::optional<Stored>>>;

inline void apply_step(Model& model, const Step& step) {
  for (const auto& [id, object] : step) {
    if (object)
      model[id] = *object;
    else
      model.erase(id);
  }
}

// Fills the serialization cache with an object and returns its records.
inline Stored assemble(const mdb::NodeId& id, const mdb::NodeId& parent, std::size_t text) {
  mdb::SerializationCache& cache = mdb::serialization_cache();
  cache.reset();
  cache.add(mdb::PropertyNodeId(0, id));
  cache.add(mdb::PropertyNodeId(2, parent));
  cache.add(mdb::PropertySomething32<unsigned int, 1>(1, static_cast<unsigned>(text)));
  cache.add(mdb::PropertyString(51, std::string(text, static_cast<char>('a' + text % 26))));
  const auto records = cache.records();
  return Stored(records.begin(), records.end());
}

// Moves the temporary files of the tests that sync thousands of times into
// memory (tmpfs) where there is one; a power cut is simulated, not needed.
// A base class, so that a temporary directory member comes after it.
struct InMemoryFiles {
  InMemoryFiles() {
    if (std::filesystem::is_directory("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 1);
  }
  ~InMemoryFiles() { ::unsetenv("TMPDIR"); }
};

inline constexpr std::uint32_t kSessionBlock = 1024;

// Creates a set of 1024-byte blocks with empty index roots and a fresh
// journal of `journal_blocks` blocks, inside the MDB (blocks 1 ..) or in a
// file of its own, and 40 blocks after the one-block map. The MDB file is
// synced at the end, as the creation tool does.
inline void create_session_set(const std::string& mdb_path, const std::string& journal_path,
                               bool internal, std::uint32_t journal_blocks) {
  const std::uint32_t f = internal ? 1 + journal_blocks : 1;
  testing_util::make_zero_file(mdb_path, std::uint64_t{f + 40} * kSessionBlock);
  mdb::open_store(mdb_path);
  mdb::create_header({.block_size = kSessionBlock,
                      .journal_type = internal ? mdb::journal_internal : mdb::journal_external,
                      .journal_path = internal ? "" : journal_path,
                      .journal_start = internal ? 1u : 0u,
                      .journal_blocks = internal ? journal_blocks : 0,
                      .index_roots = {f + 1, f + 2},
                      .first_map_block = f,
                      .first_data_block = f + 1});
  if (internal) {
    mdb::open_journal(mdb_path, kSessionBlock, journal_blocks * kSessionBlock, false);
  } else {
    testing_util::make_zero_file(journal_path, journal_blocks * kSessionBlock);
    mdb::open_journal(journal_path, 0, 0, true);
  }
  mdb::init_journal_header();
  mdb::close_journal();
  mdb::sync_store();
  mdb::close_store();
}

class SessionWorkload {
 public:
  explicit SessionWorkload(std::uint32_t seed) : random_(seed) {}

  // One step: one to three object changes. The step is recorded before it
  // starts; an exception leaves it in flight.
  void step() {
    const bool wrapped = random_() % 3 != 0;
    const std::size_t changes = wrapped ? 1 + random_() % 3 : 1;
    Step planned;
    steps_.emplace_back();
    in_flight_ = true;
    if (wrapped) mdb::begin_transaction();
    for (std::size_t i = 0; i < changes; ++i) change(planned);
    if (wrapped) commit(planned);
    steps_.back() = planned;
    in_flight_ = false;
  }

  const std::vector<Step>& steps() const { return steps_; }
  // Steps whose commit returned.
  std::size_t done() const { return steps_.size() - (in_flight_ ? 1 : 0); }
  // Steps up to the last one whose synchronous end returned.
  std::size_t synchronous_done() const { return synchronous_done_; }

  // The model after the first n steps, on top of `base` after `from`.
  Model model(std::size_t n, Model base = {}, std::size_t from = 0) const {
    for (std::size_t i = from; i < n; ++i) apply_step(base, steps_[i]);
    return base;
  }

 private:
  void commit(const Step& planned) {
    steps_.back() = planned;
    const bool asynchronous = random_() % 2 == 0;
    mdb::end_transaction(asynchronous);
    if (!asynchronous) synchronous_done_ = steps_.size();
  }

  void change(Step& planned) {
    const std::uint32_t roll = random_() % 10;
    if (live_.empty() || (roll < 5 && live_.size() < 120)) {
      const mdb::NodeId id{1, next_id_++};
      const mdb::NodeId parent = live_.empty() || roll % 2 == 0
                                     ? kTopParent
                                     : std::next(live_.begin(), random_() % live_.size())->first;
      write(planned, id, kNewObject, parent);
      return;
    }
    const auto victim = std::next(live_.begin(), random_() % live_.size());
    const mdb::NodeId id = victim->first;
    if (roll < 8) {
      write(planned, id, victim->second.ref, victim->second.parent);
      return;
    }
    const bool own = !mdb::in_transaction();
    if (own) mdb::begin_transaction();
    mdb::dobj object = mdb::load_object(victim->second.ref);
    const Bytes old(object.data.data() + object.offset,
                    object.data.data() + object.offset + mdb::piece_length(piece_header(object)));
    mdb::update_object_indexes(old, victim->second.ref, std::nullopt, mdb::ObjectRef{});
    mdb::free_object(object);
    live_.erase(victim);
    planned.emplace_back(id, std::nullopt);
    if (own) commit(planned);
  }

  void write(Step& planned, const mdb::NodeId& id, mdb::ObjectRef ref, const mdb::NodeId& parent) {
    const Stored object = assemble(id, parent, 1 + random_() % 300);
    planned.emplace_back(id, object);
    // Unwrapped, write_object commits by itself and may fail after that commit.
    steps_.back() = planned;
    live_[id] = {mdb::write_object(ref), parent};
  }

  struct Live {
    mdb::ObjectRef ref;
    mdb::NodeId parent;
  };
  std::mt19937 random_;
  std::vector<Step> steps_;  // the last one may be in flight
  bool in_flight_ = false;
  std::size_t synchronous_done_ = 0;
  std::map<mdb::NodeId, Live> live_;
  std::uint32_t next_id_ = 1;
};

// Every object the NodeId index of the open set names, after the checker's rules found the set
// sound but for what a cut may leave. A cut between the transaction that allocates an object and
// the one that writes it leaves an object that no index names, holding what the space held
// before. A cut that loses the growth of the file leaves it to the replay, which extends the file
// only to the last byte it writes, so the map may name a block past its end.
inline Model read_back() {
  const RulesCheck rules = check_rules(true, false);
  std::set<std::string> named;
  for (const checker::IndexEntry& entry : rules.read.trees[0].entries) {
    named.insert("object " + mdb::data_text(entry.data));
  }
  const mdb::BackingStore& store = mdb::database().store;
  const bool partial_block = store.length() % store.block_size() != 0;
  for (const checker::Problem& problem : rules.report.problems()) {
    const bool unwritten =
        problem.structure.starts_with("object ") && !named.count(problem.structure);
    const bool lost_growth = partial_block && problem.text.ends_with(" past the end of the file");
    EXPECT_TRUE(unwritten || lost_growth) << checker::problem_line(problem);
  }
  Model seen;
  mdb::IndexCursor c = mdb::nonuniq_search(mdb::kNodeIdIndex, mdb::NodeId{0, 0});
  // A cursor that starts in an empty leftmost leaf moves on to the first entry.
  if (c.at_end()) cursor_next(c);
  for (; !c.at_end(); cursor_next(c)) {
    const mdb::ObjectRef ref = c.entry_data();
    const mdb::dobj object = mdb::load_object(ref);
    const std::uint8_t* start = object.data.data() + ref.offset;
    seen[c.entry_key()] =
        Stored(start + mdb::kObjectLengthWordSize, start + mdb::piece_length(piece_header(object)));
  }
  // The cache's size gauge counts this MDB's 1 kB blocks.
  EXPECT_EQ(meter::buffercache_size.read(), meter::buffercache_block_count);
  return seen;
}

// The first n in [lowest, highest] whose model (steps from 0) equals
// `seen`; none when no committed state between them matches.
inline std::optional<std::size_t> matching_step(const SessionWorkload& workload, const Model& seen,
                                                std::size_t lowest, std::size_t highest) {
  Model model = workload.model(lowest);
  for (std::size_t n = lowest;; ++n) {
    if (seen == model) return n;
    if (n >= highest) return std::nullopt;
    apply_step(model, workload.steps()[n]);
  }
}

}  // namespace mdb_testing
