// Model-based test of the object layer and the allocator: random creations,
// rewrites with other sizes, parents or node ids, and frees of objects in a
// database with 1024-byte blocks, checked against a model of the objects
// and of the entries they call for in the NodeId and ParentId indexes.
//
// After every batch the checker's rules check the set (object blocks covered by their pieces, no
// two placeholders side by side, map states as the free space calls for, both trees against the
// objects), each object is loaded and compared byte for byte, and both index trees and the objects
// the rules found are compared with the model. Now and then the database is closed and opened
// again.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/model_test_util.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/property.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/metrics_table.h"

namespace mdb {
namespace {

using namespace mdb_testing;

struct ModelObject {
  NodeId parent;
  std::string text;
  ObjectRef ref;
  std::vector<std::uint8_t> bytes;  // from the piece header on
};

class ObjectModelTest : public ModelTest {
 protected:
  // A text whose length makes the object's size: mostly small objects,
  // some large ones and some of the largest size a block holds (B - 4).
  std::string random_text() {
    const std::uint32_t longest = index_block_size() - 8 - 24 - 24 - 13;
    const std::uint32_t roll = random(20);
    std::string text(roll == 0 ? longest : random(roll < 4 ? longest + 1 : 120), 'a');
    for (char& c : text) c = static_cast<char>('a' + random(26));
    return text;
  }

  // Assembles an object in the serialization cache; returns its bytes.
  static std::vector<std::uint8_t> assemble(const NodeId& id, const NodeId& parent,
                                            const std::string& text) {
    SerializationCache& cache = serialization_cache();
    cache.reset();
    cache.add(PropertyNodeId(0, id));
    cache.add(PropertyNodeId(2, parent));
    cache.add(PropertyString(51, text));
    std::vector<std::uint8_t> bytes(4 + cache.used());
    support::store_be32(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    cache.copy_out(bytes.data() + 4);
    return bytes;
  }

  // The ParentId entry of an object; an object that moves keeps its entry's place, one that changes
  // its parent goes after the entries of its new parent.
  std::multimap<NodeId, ObjectRef>::iterator parent_entry(const ModelObject& object) {
    auto it = parents_.lower_bound(object.parent);
    while (it->second != object.ref) ++it;
    return it;
  }

  std::map<NodeId, ModelObject>::iterator pick() {
    const auto it = objects_.lower_bound({1, random(next_id_) + 1});
    return it == objects_.end() ? std::prev(it) : it;
  }

  // Creates an object, or writes one again: another size and text, at
  // times another parent or node id, or the very same bytes.
  void write(bool create) {
    const auto it = create ? objects_.end() : pick();
    const ModelObject old = create ? ModelObject{} : it->second;
    const std::uint32_t roll = random(20);
    const NodeId id = create || roll == 0 ? NodeId{1, ++next_id_} : it->first;
    const NodeId parent = create || roll < 6 ? NodeId{0, random(6)} : old.parent;
    const std::string text = roll == 19 && !create ? old.text : random_text();
    std::vector<std::uint8_t> bytes = assemble(id, parent, text);
    last_ = "write " + key_text(id) + " of " + std::to_string(bytes.size()) +
            (create ? "" : " over " + data_text(old.ref));
    const std::uint64_t commits = meter::journal_commits.value;
    const ObjectRef ref = write_object(old.ref);
    if (!create) {
      // An object that keeps its length stays where it is; one that keeps
      // its bytes commits nothing.
      if (bytes.size() == old.bytes.size()) {
        ASSERT_EQ(ref, old.ref) << last_;
      }
      if (bytes == old.bytes) {
        ASSERT_EQ(meter::journal_commits.value, commits) << last_;
      }
      if (parent == old.parent) {
        parent_entry(old)->second = ref;
      } else {
        parents_.erase(parent_entry(old));
      }
      objects_.erase(it);
    }
    if (create || parent != old.parent) parents_.emplace(parent, ref);
    objects_[id] = {parent, text, ref, std::move(bytes)};
  }

  // Frees an object and removes its index entries, as a delete does.
  void remove() {
    const auto it = pick();
    last_ = "free " + key_text(it->first) + " at " + data_text(it->second.ref);
    begin_transaction();
    dobj object = load_object(it->second.ref);
    const std::vector<std::uint8_t> bytes(
        object.data.begin() + object.offset,
        object.data.begin() + object.offset + piece_length(piece_header(object)));
    update_object_indexes(bytes, it->second.ref, std::nullopt, {});
    free_object(object);
    end_transaction(true);
    parents_.erase(parent_entry(it->second));
    objects_.erase(it);
  }

  // Holds the set to the checker's rules, and the objects and both trees to the model.
  std::string check() override {
    const RulesCheck rules = check_rules(true, true);
    if (!rules.report.sound()) return rules.problems();
    IndexEntries node_ids;
    for (const auto& [id, object] : objects_) {
      const dobj loaded = load_object(object.ref);
      if (piece_header(loaded) != object.bytes.size() ||
          !std::equal(object.bytes.begin(), object.bytes.end(),
                      loaded.data.begin() + loaded.offset)) {
        return "object " + key_text(id) + " at " + data_text(object.ref) + " changed";
      }
      node_ids.emplace_back(id, object.ref);
    }
    const IndexEntries expected[] = {node_ids, {parents_.begin(), parents_.end()}};
    for (std::uint32_t slot = 0; slot < 2; ++slot) {
      const std::string problem =
          first_difference(expected[slot], entries_of(rules.read.trees[slot]));
      if (!problem.empty()) return "tree " + std::to_string(slot) + ": " + problem;
    }
    // Each object the rules found has its one NodeId entry, and those are the model's.
    return rules.read.scan.objects.size() == objects_.size() ? "" : "the blocks hold other objects";
  }

  void clear_model() override {
    objects_.clear();
    parents_.clear();
    growing_ = false;
    target_ = 0;
  }

  // Mostly one object a transaction, at times several in one.
  void batch(std::uint32_t& done) override {
    const std::uint32_t group = random(4) == 0 ? 1 + random(6) : 1;
    if (group > 1) begin_transaction();
    for (std::uint32_t n = 0; n < group; ++n, ++done) {
      if (growing_ ? objects_.size() >= target_ : objects_.size() <= target_) {
        growing_ = !growing_ || objects_.empty();
        target_ = growing_ ? std::min<std::size_t>(
                                 1200, objects_.size() + 1 + random(random(2) ? 60 : 900))
                           : random(2) * random(objects_.size() / 2 + 1);
      }
      const std::uint32_t roll = random(100);
      if (objects_.empty() || roll < (growing_ ? 85 : 45)) {
        write(objects_.empty() || roll < (growing_ ? 55 : 15));
      } else {
        remove();
      }
      if (HasFatalFailure()) return;
    }
    if (group > 1) end_transaction(random(20) != 0);
  }

  std::map<NodeId, ModelObject> objects_;     // by node id
  std::multimap<NodeId, ObjectRef> parents_;  // the ParentId index
  std::uint32_t next_id_ = 0;
  bool growing_ = false;  // towards `target_` objects, or shrinking
  std::size_t target_ = 0;
};

TEST_F(ObjectModelTest, RandomObjectWritesAgreeWithTheModel) {
  run_seeds(ModelRun(3, 6000), 20, 150);
}

}  // namespace
}  // namespace mdb
