// Model-based test of the index B+-trees: random operation sequences on the NodeId index (unique,
// slot 0) and the ParentId index (non-unique, slot 1) of a database with 1024-byte blocks, checked
// against std::map and std::multimap.
//
// Each tree grows to a target size and shrinks again, down to empty and back, with keys that arrive
// at random, ascending or descending, and with few or many equal keys; so leaf, node and root
// splits, the removal of emptied blocks and the separator fix-ups all happen many times; each
// operation searches its tree first, and a replace or delete in the non-unique tree scans a run of
// equal keys across leaves. After every batch the checker's rules walk the set and both trees are
// compared with their models; now and then the database is closed and opened again, so that the
// journal replay has to bring the trees back.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <string>

#include "server/database/mdb/model_test_util.h"
#include "server/database/support/errors.h"

namespace mdb {
namespace {

using namespace mdb_testing;

// One tree, its model and the phase it is in.
struct ModelTree {
  std::uint32_t slot = 0;
  std::map<NodeId, ObjectRef> unique;         // slot 0
  std::multimap<NodeId, ObjectRef> multiple;  // slot 1, equal keys in order
  bool growing = false;
  std::size_t target = 0;
  std::uint32_t pattern = 0;    // keys at random, ascending or descending
  std::uint32_t key_space = 1;  // distinct keys of the non-unique tree

  std::size_t size() const { return slot == 0 ? unique.size() : multiple.size(); }
  IndexEntries entries() const {
    return slot == 0 ? IndexEntries(unique.begin(), unique.end())
                     : IndexEntries(multiple.begin(), multiple.end());
  }
};

class IndexModelTest : public ModelTest {
 protected:
  NodeId random_key() { return {random(8), random(1u << 20)}; }

  // The next phase of a tree: growing to a target size (small, medium, or large enough for internal
  // nodes below the root, within what one map block covers) or shrinking, often to empty; and how
  // keys are chosen until then.
  void new_phase(ModelTree& tree) {
    const std::uint32_t sizes[] = {60, 700, 3000, 9000};
    const std::uint32_t size = sizes[random(4)];
    const auto now = static_cast<std::uint32_t>(tree.size());
    tree.growing = now == 0 || !tree.growing;
    tree.target = tree.growing ? std::min(9000u, now + size / 2 + random(size / 2))
                               : random(2) * random(now / 2 + 1);
    tree.pattern = random(3);
    const std::uint32_t spaces[] = {2, 12, 300, 1u << 30};
    tree.key_space = spaces[random(4)];
  }

  // An entry of the unique tree: near a random key, or one of its ends.
  std::map<NodeId, ObjectRef>::iterator pick_unique(ModelTree& tree) {
    auto& model = tree.unique;
    if (tree.pattern > 0) return tree.pattern == 1 ? std::prev(model.end()) : model.begin();
    const auto it = model.lower_bound(random_key());
    return it == model.end() ? std::prev(it) : it;
  }
  // An entry of the non-unique tree: one of the first or of the last of the run of a random key.
  std::multimap<NodeId, ObjectRef>::iterator pick_multiple(ModelTree& tree) {
    auto it = tree.multiple.lower_bound({0, random(tree.key_space)});
    if (it == tree.multiple.end()) it = std::prev(it);
    const auto [first, end] = tree.multiple.equal_range(it->first);
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
    const ObjectRef d{++data_, 8};
    if (tree.slot == 0 && insert) {
      NodeId k = random_key();
      if (tree.pattern == 1 && tree.size() > 0) k = tree.unique.rbegin()->first;
      if (tree.pattern == 2 && tree.size() > 0) k = tree.unique.begin()->first;
      if (tree.pattern > 0 && tree.size() > 0) {
        k.second += tree.pattern == 1 ? 1 : k.second > 0 ? -1 : 0;
      }
      last_ = "unique insert " + key_text(k);
      if (tree.unique.count(k) != 0) {
        expect_error<error_index_conflict>([&] { uniq_update(0, k, d, false); },
                                           "Conflict on ID " + key_text(k) + " previously " +
                                               data_text(tree.unique[k]) + " new " + data_text(d));
      } else {
        uniq_update(0, k, d, false);
        tree.unique[k] = d;
      }
    } else if (tree.slot == 0) {
      const auto it = pick_unique(tree);
      last_ = (replace ? "unique replace " : "unique delete ") + key_text(it->first);
      if (replace) {
        uniq_update(0, it->first, d, true);
        it->second = d;
      } else {
        uniq_delete(0, it->first);
        tree.unique.erase(it);
      }
    } else if (insert) {
      const NodeId k{0, random(tree.key_space)};
      last_ = "insert " + key_text(k) + "->" + data_text(d);
      nonuniq_insert(1, k, d);
      tree.multiple.emplace(k, d);
    } else {
      const auto it = pick_multiple(tree);
      last_ =
          (replace ? "replace " : "delete ") + key_text(it->first) + "->" + data_text(it->second);
      if (replace) {
        nonuniq_update(1, it->first, it->second, d);
        it->second = d;
      } else {
        nonuniq_delete(1, it->first, it->second);
        tree.multiple.erase(it);
      }
    }
  }

  // Holds the set to the checker's rules and both trees to their models; returns the first broken
  // rule.
  std::string check() override {
    const RulesCheck rules = check_rules(false, true);
    if (!rules.report.sound()) return rules.problems();
    for (const ModelTree& tree : trees_) {
      const checker::TreeCheck& walked = rules.read.trees[tree.slot];
      const std::string problem = first_difference(tree.entries(), entries_of(walked));
      if (!problem.empty()) return "tree " + std::to_string(tree.slot) + ": " + problem;
      deepest_ = std::max(deepest_, walked.depth);
    }
    return {};
  }

  void clear_model() override {
    trees_.assign(2, ModelTree());
    trees_[1].slot = 1;
  }

  // Operations on both trees in one transaction, which now and then ends synchronously.
  void batch(std::uint32_t& done) override {
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
  }

  std::vector<ModelTree> trees_;
  std::uint32_t data_ = 0;
  std::uint32_t deepest_ = 0;  // the deepest leaves seen
  std::uint32_t emptied_ = 0;  // times a tree went back to an empty root
};

TEST_F(IndexModelTest, RandomOperationsAgreeWithTheModel) {
  const ModelRun plan(3, 25000);
  run_seeds(plan, 50, 300);
  // The seeds of a run reach trees with nodes below the root, and empty trees again.
  if (!plan.replaying && !HasFatalFailure()) {
    EXPECT_GE(deepest_, 2u);
    EXPECT_GE(emptied_, 4u);
  }
}

}  // namespace
}  // namespace mdb
