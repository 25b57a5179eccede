// Walking the index trees. The walk goes depth first from the root with
// the key bounds each child inherits from its parent's separators; it
// never visits a block twice and never goes deeper than kMaxDepth, so a
// damaged tree cannot make it loop. Besides order and bounds it holds the
// shape splits and deletions keep: a leaf right of a separator starts with
// it, and no leaf is empty but the only leaf of an emptied tree.
#include "server/database/checker/index_check.h"

#include <algorithm>
#include <optional>

#include "server/database/mdb/allocation_map.h"
#include "server/database/mdb/index_format.h"
#include "server/database/support/text_format.h"

namespace checker {

namespace {

using support::text_u32;

constexpr std::uint32_t kMaxDepth = 64;

struct Bounds {
  std::optional<mdb::NodeId> low;   // keys are >= low
  std::optional<mdb::NodeId> high;  // keys are < high (unique), <= high
};

class TreeWalk {
 public:
  TreeWalk(const std::string& name, bool unique, const MdbBlocks& mdb, const BlockScan& scan,
           const std::string& file, std::vector<bool>& reached, Report& report)
      : name_(name),
        unique_(unique),
        mdb_(mdb),
        scan_(scan),
        file_(file),
        reached_(reached),
        report_(report) {}

  TreeCheck run(std::uint32_t root) {
    std::vector<std::uint8_t> data;
    if (root >= scan_.blocks) {
      problem(root, "root", "lies past the end of the file");
      return result_;
    }
    mdb_.read(root, data);
    if (std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0; }) &&
        scan_.states[root] == mdb::block_empty) {
      result_.created = false;
      reached_[root] = true;
      return result_;
    }
    visit(root, 0, {}, true, false);
    check_links();
    result_.leaves = static_cast<std::uint32_t>(leaves_.size());
    return result_;
  }

 private:
  struct Leaf {
    std::uint32_t block, left, right, nkeys;
  };

  void problem(std::uint32_t block, const std::string& structure, const std::string& text) {
    result_.sound = false;
    report_.problem(file_, block, name_ + " " + structure, text);
  }

  bool key_in_bounds(const mdb::NodeId& key, const Bounds& bounds) const {
    if (bounds.low && key < *bounds.low) return false;
    if (bounds.high && (unique_ ? key >= *bounds.high : key > *bounds.high)) {
      return false;
    }
    return true;
  }

  void check_state(std::uint32_t block, std::uint8_t want, const char* what,
                   const std::string& structure) {
    if (scan_.states[block] != want) {
      problem(block, structure,
              "map state " + text_u32(scan_.states[block]) + ", expected " + text_u32(want) + " (" +
                  what + ")");
    }
  }

  // `right_of_separator`: the block is a child right of a separator of its parent, whose key
  // is bounds.low.
  void visit(std::uint32_t block, std::uint32_t depth, Bounds bounds, bool is_root,
             bool right_of_separator) {
    if (depth > kMaxDepth) {
      problem(block, "node", "deeper than any sound tree");
      return;
    }
    if (reached_[block]) {
      problem(block, "node", "reached twice");
      return;
    }
    reached_[block] = true;
    std::vector<std::uint8_t> data;
    mdb_.read(block, data);
    const std::uint32_t magic = mdb::block_magic(data.data());
    if (magic == mdb::kIndexNodeMagic) {
      visit_node(block, data, depth, bounds, is_root);
    } else if (magic == mdb::kIndexLeafMagic && !is_root) {
      visit_leaf(block, data, depth, bounds, right_of_separator);
    } else {
      problem(block, is_root ? "root" : "node", "is neither an index node nor a leaf");
    }
  }

  void visit_node(std::uint32_t block, const std::vector<std::uint8_t>& data, std::uint32_t depth,
                  const Bounds& bounds, bool is_root) {
    const std::string structure = is_root ? "root" : "node";
    check_state(block, is_root ? mdb::block_index_root : mdb::block_index_node,
                is_root ? "index root" : "index node", structure);
    const mdb::ConstIndexNode node(data.data());
    const std::uint32_t n = node.nkeys();
    if (n > (data.size() - mdb::kNodeHeaderSize) / mdb::kNodeEntrySize) {
      problem(block, structure, "holds " + text_u32(n) + " keys, more than fit");
      return;
    }
    if (is_root && n == 0 && node.ptr0() == 0) return;  // empty tree
    for (std::uint32_t i = 0; i < n; ++i) {
      // Separators of a unique index are distinct.
      const bool ordered =
          i == 0 || (unique_ ? node.key(i - 1) < node.key(i) : node.key(i - 1) <= node.key(i));
      if (!key_in_bounds(node.key(i), bounds) || !ordered) {
        problem(block, structure,
                "key " + text_u32(i) + " (" + mdb::to_text(node.key(i)) + ") is out of order");
        return;
      }
    }
    for (std::uint32_t j = 0; j <= n; ++j) {
      const std::uint32_t child = node.pointer(j);
      if (child == 0 || child >= scan_.blocks) {
        problem(block, structure, "child " + text_u32(j) + " names block " + text_u32(child));
        continue;
      }
      Bounds inner = bounds;
      if (j > 0) inner.low = node.key(j - 1);
      if (j < n) inner.high = node.key(j);
      visit(child, depth + 1, inner, false, j > 0);
    }
  }

  void visit_leaf(std::uint32_t block, const std::vector<std::uint8_t>& data, std::uint32_t depth,
                  const Bounds& bounds, bool right_of_separator) {
    check_state(block, mdb::block_index_leaf, "leaf", "leaf");
    const mdb::ConstIndexLeaf leaf(data.data());
    const std::uint32_t n = leaf.nkeys();
    if (n > (data.size() - mdb::kLeafHeaderSize) / mdb::kLeafEntrySize) {
      problem(block, "leaf", "holds " + text_u32(n) + " entries, more than fit");
      return;
    }
    if (result_.depth == 0) {
      result_.depth = depth;
    } else if (depth != result_.depth) {
      problem(block, "leaf",
              "lies at depth " + text_u32(depth) + ", other leaves at " + text_u32(result_.depth));
    }
    // A split gives the parent the new leaf's first key, and a deletion of a leaf's first entry
    // moves the separator along.
    if (right_of_separator && n > 0 && leaf.key(0) > *bounds.low) {
      problem(block, "leaf",
              "starts with " + mdb::to_text(leaf.key(0)) + ", not with the separator " +
                  mdb::to_text(*bounds.low) + " left of it");
    }
    for (std::uint32_t i = 0; i < n; ++i) {
      const mdb::NodeId key = leaf.key(i);
      const bool ordered = result_.entries.empty() || (unique_ ? result_.entries.back().key < key
                                                               : result_.entries.back().key <= key);
      if (!key_in_bounds(key, bounds) || !ordered) {
        problem(block, "leaf",
                "entry " + text_u32(i) + " (" + mdb::to_text(key) + ") is out of order");
        break;
      }
      result_.entries.push_back({key, leaf.data(i)});
    }
    leaves_.push_back({block, leaf.left(), leaf.right(), n});
  }

  void check_links() {
    for (std::size_t i = 0; i < leaves_.size(); ++i) {
      // A deletion frees an emptied leaf, but the last leaf of a tree stays under the root.
      if (leaves_[i].nkeys == 0 && (leaves_.size() > 1 || result_.depth != 1)) {
        problem(leaves_[i].block, "leaf", "holds no entry");
      }
      const std::uint32_t left = i > 0 ? leaves_[i - 1].block : 0;
      const std::uint32_t right = i + 1 < leaves_.size() ? leaves_[i + 1].block : 0;
      if (leaves_[i].left != left) {
        problem(leaves_[i].block, "leaf",
                "left link " + text_u32(leaves_[i].left) + ", expected " + text_u32(left));
      }
      if (leaves_[i].right != right) {
        problem(leaves_[i].block, "leaf",
                "right link " + text_u32(leaves_[i].right) + ", expected " + text_u32(right));
      }
    }
  }

  const std::string& name_;
  const bool unique_;
  const MdbBlocks& mdb_;
  const BlockScan& scan_;
  const std::string& file_;
  std::vector<bool>& reached_;
  Report& report_;
  TreeCheck result_;
  std::vector<Leaf> leaves_;
};

}  // namespace

TreeCheck check_tree(const std::string& name, std::uint32_t root, bool unique, const MdbBlocks& mdb,
                     const BlockScan& scan, const std::string& file, std::vector<bool>& reached,
                     Report& report) {
  return TreeWalk(name, unique, mdb, scan, file, reached, report).run(root);
}

void report_lost_index_blocks(const BlockScan& scan, const std::vector<bool>& reached,
                              const std::string& file, Report& report) {
  for (std::uint32_t n = 0; n < scan.blocks; ++n) {
    const std::uint8_t state = scan.states[n];
    if (!reached[n] && state >= mdb::block_index_root && state <= mdb::block_index_leaf) {
      report.problem(file, n, "allocation map",
                     "state " + text_u32(state) + " (index block), but no index reaches the block");
    }
  }
}

}  // namespace checker
