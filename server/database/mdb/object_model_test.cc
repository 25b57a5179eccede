// Model-based test of the object layer and the allocator: random creations,
// rewrites with other sizes, parents or node ids, and frees of objects in a
// database with 1024-byte blocks, checked against a model of the objects
// and of the entries they call for in the NodeId and ParentId indexes.
//
// After every batch each object is loaded and compared byte for byte, both index trees are walked
// and compared with the model, and every block of the data area is checked: an object block is
// covered by its pieces from 0 to its end, holds exactly the model's objects, has no two
// placeholders side by side and the map state its free space calls for; a block in no tree and
// without objects is empty. Now and then the database is closed and opened again.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>

#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/mdb_test_fixture.h"
#include "server/database/mdb/model_test_util.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/property.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/errors.h"
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

class ObjectModelTest : public MdbFixture {
 protected:
  std::uint32_t random(std::uint32_t n) { return rng_() % n; }

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
      if (bytes.size() == old.bytes.size()) { ASSERT_EQ(ref, old.ref) << last_; }
      if (bytes == old.bytes) { ASSERT_EQ(meter::journal_commits.value, commits) << last_; }
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

  std::string check() {
    std::map<std::uint32_t, std::set<std::uint32_t>> by_block;
    IndexEntries node_ids;
    for (const auto& [id, object] : objects_) {
      const dobj loaded = load_object(object.ref);
      if (piece_header(loaded) != object.bytes.size() ||
          !std::equal(object.bytes.begin(), object.bytes.end(),
                      loaded.data.begin() + loaded.offset)) {
        return "object " + key_text(id) + " at " + data_text(object.ref) + " changed";
      }
      by_block[object.ref.block].insert(object.ref.offset);
      node_ids.emplace_back(id, object.ref);
    }
    std::set<std::uint32_t> index_blocks;
    const IndexEntries expected[] = {node_ids, {parents_.begin(), parents_.end()}};
    for (std::uint32_t slot = 0; slot < 2; ++slot) {
      const TreeWalk walk = TreeWalker(slot == 0).walk(root(slot));
      const std::string problem =
          walk.problem.empty() ? first_difference(expected[slot], walk.entries) : walk.problem;
      if (!problem.empty()) return "tree " + std::to_string(slot) + ": " + problem;
      index_blocks.insert(walk.blocks.begin(), walk.blocks.end());
    }
    std::size_t matched = 0;
    const std::string problem =
        check_data_area(index_blocks, [&](std::uint32_t b, std::uint8_t state) {
          matched += by_block[b].size();
          const std::string block_problem = check_block(b, state, by_block[b]);
          return block_problem.empty() ? block_problem
                                       : "block " + std::to_string(b) + " (state " +
                                             std::to_string(state) + ") " + block_problem;
        });
    if (!problem.empty()) return problem;
    return matched == objects_.size() ? "" : "objects lie outside the data area";
  }

  // One block that no tree holds, with the offsets of its model objects.
  static std::string check_block(std::uint32_t b, std::uint8_t state,
                                 const std::set<std::uint32_t>& offsets) {
    const BlockCopy copy = private_copy(b);
    const auto size = static_cast<std::uint32_t>(copy.size());
    if (state == block_empty) {
      const bool zero = copy == BlockCopy(size);
      const bool free = piece_header(copy.data(), 0) == (size | 1);
      return offsets.empty() && (zero || free) ? "" : "is empty but holds pieces";
    }
    if (state != block_used && state != block_full) return "is no object block";
    std::set<std::uint32_t> objects;
    std::uint32_t end = 0, free = 0;
    bool previous_free = false;
    for (const auto& [offset, header] : pieces(copy)) {
      const std::uint32_t length = piece_length(header);
      if (offset != end || length < 4 || length % 4 != 0 || length > size - offset) {
        return "has a bad piece at " + std::to_string(offset);
      }
      if (is_placeholder(header) && previous_free) {
        return "has two placeholders side by side at " + std::to_string(offset);
      }
      previous_free = is_placeholder(header);
      if (previous_free) free += length;
      if (!previous_free) objects.insert(offset);
      end = offset + length;
    }
    if (end != size || objects != offsets) return "holds other pieces than the model";
    // A block fills without a new state until a search finds it full; a
    // free brings the state in line.
    if (objects.empty() || (state == block_full && free >= size / 4)) {
      return "has " + std::to_string(free) + " bytes free";
    }
    return "";
  }

  void run(std::uint32_t seed, const ModelRun& plan) {
    SCOPED_TRACE(plan.replay(seed));
    rng_.seed(seed);
    objects_.clear();
    parents_.clear();
    start_with_indexes(kSmallLayout);
    set_buffer_cache_capacity(4 + random(60));
    bool growing = false;
    std::size_t target = 0;
    std::uint32_t next_check = 0;
    std::uint32_t checks = 0;
    for (std::uint32_t done = 0; done < plan.operations;) {
      try {
        // Mostly one object a transaction, at times several in one.
        const std::uint32_t group = random(4) == 0 ? 1 + random(6) : 1;
        if (group > 1) begin_transaction();
        for (std::uint32_t n = 0; n < group; ++n, ++done) {
          if (growing ? objects_.size() >= target : objects_.size() <= target) {
            growing = !growing || objects_.empty();
            target = growing ? std::min<std::size_t>(
                                   1200, objects_.size() + 1 + random(random(2) ? 60 : 900))
                             : random(2) * random(objects_.size() / 2 + 1);
          }
          const std::uint32_t roll = random(100);
          if (objects_.empty() || roll < (growing ? 85 : 45)) {
            write(objects_.empty() || roll < (growing ? 55 : 15));
          } else {
            remove();
          }
          if (HasFatalFailure()) return;
        }
        if (group > 1) end_transaction(random(20) != 0);
        if (done < next_check) continue;
        next_check = done + 20 + random(150);
        ASSERT_EQ(check(), "") << "after operation " << done << ", " << last_;
        if (++checks % 8 == 0) {
          reopen_with_indexes();
          set_buffer_cache_capacity(4 + random(60));
        }
      } catch (const error::Exception& e) {
        FAIL() << "operation " << done << ", " << last_ << ": " << e.text();
      }
    }
    shut_down();
  }

  std::mt19937 rng_;
  std::map<NodeId, ModelObject> objects_;     // by node id
  std::multimap<NodeId, ObjectRef> parents_;  // the ParentId index
  std::uint32_t next_id_ = 0;
  std::string last_;  // the operation that runs or ran last
};

TEST_F(ObjectModelTest, RandomObjectWritesAgreeWithTheModel) {
  const ModelRun plan(3, 6000);
  for (std::uint32_t seed : plan.seeds) {
    run(seed, plan);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace mdb
