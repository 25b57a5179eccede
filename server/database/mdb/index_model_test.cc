// Model-based test of the index B+-trees: random operation sequences on the
// NodeId index (unique, slot 0) and the ParentId index (non-unique, slot 1)
// of a database with 1024-byte blocks, checked against std::map and
// std::multimap.
//
// Each tree grows to a target size and shrinks again, down to empty and
// back, with keys that arrive at random, ascending, descending or in
// clusters, and with few or many equal keys; so leaf, node and root splits,
// the removal of emptied blocks and the separator fix-ups all happen many
// times. After every batch both trees are walked whole and compared with
// their models, and lookups and cursors are tried; now and then the
// database is closed and opened again, so that the journal replay has to
// bring the trees back.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <random>
#include <string>

#include "server/database/mdb/index_search.h"
#include "server/database/mdb/mdb_test_fixture.h"
#include "server/database/mdb/model_test_util.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using namespace mdb_testing;

// One tree and its model, with the phase it is in.
struct ModelTree {
  std::uint32_t slot = 0;
  std::map<NodeId, ObjectRef> unique;         // slot 0
  std::multimap<NodeId, ObjectRef> multiple;  // slot 1, equal keys in order
  bool growing = true;
  std::size_t target = 0;
  std::uint32_t pattern = 0;    // how keys are chosen
  std::uint32_t key_space = 1;  // distinct keys of the non-unique tree

  std::size_t size() const { return slot == 0 ? unique.size() : multiple.size(); }
  IndexEntries entries() const {
    return slot == 0 ? IndexEntries(unique.begin(), unique.end())
                     : IndexEntries(multiple.begin(), multiple.end());
  }
};

class IndexModelTest : public MdbFixture {
 protected:
  std::uint32_t random(std::uint32_t n) { return rng_() % n; }

  // The next phase of a tree: growing to a target size (small, medium, or
  // large enough for three levels) or shrinking, often to empty; and how
  // keys are chosen until then.
  void new_phase(ModelTree& tree) {
    const std::uint32_t sizes[] = {60, 700, 3000, 9000};
    const std::uint32_t size = sizes[random(4)];
    tree.growing = tree.size() == 0 || !tree.growing;
    const auto now = static_cast<std::uint32_t>(tree.size());
    tree.target = tree.growing ? now + size / 2 + random(size / 2)
                               : random(2) * random(now / 2 + 1);
    tree.pattern = random(4);
    const std::uint32_t spaces[] = {2, 12, 300, 1u << 30};
    tree.key_space = spaces[random(4)];
  }

  ObjectRef fresh_data() { return {++data_, 8}; }

  // A key for the unique tree: at random, after the last, before the first
  // or near a key already there.
  NodeId unique_key(const ModelTree& tree) {
    const auto& model = tree.unique;
    const NodeId any{random(8), random(1u << 20)};
    if (model.empty() || tree.pattern == 0) return any;
    if (tree.pattern == 1) {
      const NodeId last = model.rbegin()->first;
      return {last.first, last.second + 1};
    }
    if (tree.pattern == 2) {
      const NodeId first = model.begin()->first;
      return first.second == 0 ? any : NodeId{first.first, first.second - 1};
    }
    const NodeId near = pick_unique(tree)->first;
    return {near.first, near.second + random(64) - std::min(near.second, 32u)};
  }
  // An entry of the unique tree: near a random key, or one of its ends.
  std::map<NodeId, ObjectRef>::const_iterator pick_unique(const ModelTree& tree) {
    const auto& model = tree.unique;
    if (tree.pattern == 1) return std::prev(model.end());
    if (tree.pattern == 2) return model.begin();
    auto it = model.lower_bound({random(8), random(1u << 20)});
    return it == model.end() ? std::prev(it) : it;
  }
  // An entry of the non-unique tree: one of the first or one of the last
  // of the run of a random key.
  std::multimap<NodeId, ObjectRef>::iterator pick_multiple(ModelTree& tree) {
    auto& model = tree.multiple;
    auto it = model.lower_bound({0, random(tree.key_space)});
    if (it == model.end()) it = std::prev(it);
    const auto [first, end] = model.equal_range(it->first);
    std::uint32_t steps = random(5);
    if (random(2) == 0) {
      for (it = first; steps > 0 && std::next(it) != end; --steps) ++it;
    } else {
      for (it = std::prev(end); steps > 0 && it != first; --steps) --it;
    }
    return it;
  }

  // One random operation on `tree` inside the open transaction; `last_`
  // describes it before it runs.
  void operate(ModelTree& tree) {
    if (tree.growing ? tree.size() >= tree.target : tree.size() <= tree.target) {
      new_phase(tree);
    }
    const std::uint32_t roll = random(100);
    const bool insert = tree.size() == 0 || roll < (tree.growing ? 70 : 15);
    const bool replace = !insert && roll < (tree.growing ? 85 : 30);
    if (tree.slot == 0) {
      operate_unique(tree, insert, replace);
    } else {
      operate_multiple(tree, insert, replace);
    }
  }

  void operate_unique(ModelTree& tree, bool insert, bool replace) {
    auto& model = tree.unique;
    const ObjectRef d = fresh_data();
    if (insert) {
      const NodeId k = unique_key(tree);
      last_ = "unique insert " + key_text(k);
      if (model.count(k) != 0) {
        expect_error<error_index_conflict>(
            [&] { uniq_update(0, k, d, false); },
            "Conflict on ID " + key_text(k) + " previously " +
                data_text(model[k]) + " new " + data_text(d));
      } else {
        uniq_update(0, k, d, false);
        model[k] = d;
      }
      return;
    }
    const NodeId k = pick_unique(tree)->first;
    last_ = (replace ? "unique replace " : "unique delete ") + key_text(k);
    if (replace) {
      uniq_update(0, k, d, true);
      model[k] = d;
    } else {
      uniq_delete(0, k);
      model.erase(k);
    }
  }

  void operate_multiple(ModelTree& tree, bool insert, bool replace) {
    auto& model = tree.multiple;
    const ObjectRef d = fresh_data();
    if (insert) {
      const NodeId k{0, random(tree.key_space)};
      last_ = "insert " + key_text(k) + "->" + data_text(d);
      nonuniq_insert(1, k, d);
      model.emplace(k, d);
      return;
    }
    const auto it = pick_multiple(tree);
    const NodeId k = it->first;
    const ObjectRef old = it->second;
    last_ = (replace ? "replace " : "delete ") + key_text(k) + "->" + data_text(old);
    if (replace) {
      nonuniq_update(1, k, old, d);
      it->second = d;
    } else {
      nonuniq_delete(1, k, old);
      model.erase(it);
    }
  }

  // Walks both trees and the allocation map, and tries lookups and
  // cursors; returns the first broken rule.
  std::string check() {
    std::set<std::uint32_t> index_blocks;
    for (const ModelTree& tree : trees_) {
      const TreeWalk walk = TreeWalker(tree.slot == 0).walk(root(tree.slot));
      const std::string tree_name = "tree " + std::to_string(tree.slot) + ": ";
      if (!walk.problem.empty()) return tree_name + walk.problem;
      const std::string difference = first_difference(tree.entries(), walk.entries);
      if (!difference.empty()) return tree_name + difference;
      deepest_ = std::max(deepest_, walk.depth);
      index_blocks.insert(walk.blocks.begin(), walk.blocks.end());
    }
    // Freed index blocks are zeroed and marked empty.
    const std::uint32_t block_size = index_block_size();
    const std::string map_problem =
        check_data_area(index_blocks, [&](std::uint32_t b, std::uint8_t state) {
          const BlockCopy copy = private_copy(b);
          const bool zero = std::all_of(copy.begin(), copy.end(),
                                        [](std::uint8_t v) { return v == 0; });
          return state == block_empty && zero && copy.size() == block_size
                     ? std::string()
                     : "block " + std::to_string(b) + " is free but not empty";
        });
    if (!map_problem.empty()) return map_problem;
    return check_lookups();
  }

  std::string check_lookups() {
    const auto& unique = trees_[0].unique;
    for (int probe = 0; probe < 12; ++probe) {
      NodeId k{random(8), random(1u << 20)};
      if (probe % 2 == 0 && !unique.empty()) k = pick_unique(trees_[0])->first;
      SearchPath path;
      const PathElement leaf = descend_unique(root(0), k, path);
      const auto found = unique.find(k);
      const bool held = leaf_holds_key(leaf, k);
      if (held != (found != unique.end()) ||
          (held && leaf.leaf().data(leaf.pos) != found->second)) {
        return "lookup of " + key_text(k) + (held ? " found " : " did not find ") +
               "it";
      }
    }
    ModelTree& tree = trees_[1];
    for (int probe = 0; probe < 6; ++probe) {
      NodeId k{0, random(tree.key_space)};
      if (probe % 2 == 0 && !tree.multiple.empty()) k = pick_multiple(tree)->first;
      IndexEntries expected(tree.multiple.lower_bound(k), tree.multiple.upper_bound(k));
      IndexEntries found;
      for (IndexCursor c = nonuniq_search(1, k); !c.at_end() && c.entry_key() == k;
           cursor_next(c)) {
        found.emplace_back(k, c.entry_data());
      }
      const std::string difference = first_difference(expected, found);
      if (!difference.empty()) return "cursor at " + key_text(k) + ": " + difference;
    }
    return {};
  }

  void run(std::uint32_t seed, const ModelRun& plan) {
    SCOPED_TRACE(plan.replay(seed));
    rng_.seed(seed);
    trees_.assign(2, ModelTree());
    trees_[1].slot = 1;
    for (ModelTree& tree : trees_) new_phase(tree);
    start_with_indexes(kSmallLayout);
    set_buffer_cache_capacity(4 + random(60));
    std::uint32_t done = 0;
    std::uint32_t next_check = 0;
    std::uint32_t checks = 0;
    while (done < plan.operations) {
      try {
        begin_transaction();
        for (std::uint32_t n = 1 + random(25); n > 0; --n, ++done) {
          ModelTree& tree = trees_[random(2)];
          operate(tree);
          if (tree.size() == 0) {
            // The last entry took the tree back to an empty root.
            const PathElement r = block(root(tree.slot));
            ASSERT_EQ(r.node().nkeys() + r.node().ptr0(), 0u) << last_;
            ++emptied_;
          }
        }
        end_transaction(random(40) != 0);
        if (done < next_check) continue;
        next_check = done + 50 + random(300);
        const std::string problem = check();
        ASSERT_EQ(problem, "") << "after operation " << done << ", " << last_;
        if (++checks % 8 == 0) {
          shut_down();
          start();
          init_indexes();
          set_buffer_cache_capacity(4 + random(60));
        }
      } catch (const error::Exception& e) {
        FAIL() << "operation " << done << ", " << last_ << ": " << e.text();
      }
    }
    shut_down();
  }

  std::mt19937 rng_;
  std::vector<ModelTree> trees_;
  std::uint32_t data_ = 0;
  std::string last_;  // the operation that runs or ran last
  std::uint32_t deepest_ = 0;  // the most levels below a root seen
  std::uint32_t emptied_ = 0;  // times a tree went back to an empty root
};

TEST_F(IndexModelTest, RandomOperationsAgreeWithTheModel) {
  const ModelRun plan(3, 25000);
  for (std::uint32_t seed : plan.seeds) {
    run(seed, plan);
    if (HasFatalFailure()) return;
  }
  // The seeds of a run reach trees whose root has nodes below it, and
  // empty trees again.
  if (!plan.replaying) {
    EXPECT_GE(deepest_, 2u);
    EXPECT_GE(emptied_, 4u);
  }
}

}  // namespace
}  // namespace mdb
