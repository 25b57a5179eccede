// The MDB rules on a small image built here block by block, without the engine: the sound image
// gives no problem, and each damage that breaks one rule of the trees' shape or of the object
// blocks gives its one problem line.
#include "server/database/checker/mdb_rules.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "server/database/support/big_endian.h"

namespace checker {
namespace {

using Blocks = std::vector<std::vector<std::uint8_t>>;
constexpr std::uint32_t kSize = 1024;

void words(std::vector<std::uint8_t>& block, std::uint32_t at,
           const std::vector<std::uint32_t>& values) {
  for (const std::uint32_t value : values) support::store_be32(block.data() + (at += 4) - 4, value);
}

// Block 1 is the map; the NodeId root 2 holds the separator 1.5 between leaves 4 and 5, the
// ParentId root 3 is an empty tree, block 6 holds two objects without records and a placeholder.
Blocks sound_image() {
  Blocks b(8, std::vector<std::uint8_t>(kSize, 0));
  b[1] = {0, 0, 4, 4, 6, 6, 1, 0};
  b[1].resize(kSize);
  words(b[2], 0, {0x52494E54, 1, 4, 1, 5, 5});
  words(b[3], 0, {0x52494E54, 0, 0});
  words(b[4], 0, {0x4C454146, 0, 5, 2, 1, 1, 6, 0, 1, 2, 6, 4});
  words(b[5], 0, {0x4C454146, 4, 0, 2, 1, 5, 9, 0, 1, 6, 9, 4});
  words(b[6], 0, {4, 4, kSize - 8 + 1});
  return b;
}

MdbRuleResult check(const Blocks& b, Report& report) {
  const MdbBlocks mdb{
      kSize, b.size(), 1,
      2,     {2, 3},   [&b](std::uint32_t n, std::vector<std::uint8_t>& buffer) { buffer = b[n]; }};
  return check_mdb_blocks(mdb, "main.odb", {false, false, true}, report);
}

TEST(MdbRules, EachBrokenRuleGivesItsLine) {
  Report sound;
  const MdbRuleResult result = check(sound_image(), sound);
  EXPECT_EQ(problem_lines(sound), "");
  EXPECT_EQ(result.trees[0].entries.size(), 4u);
  EXPECT_EQ(result.trees[0].depth, 1u);
  EXPECT_EQ(result.scan.objects.size(), 2u);
  const std::vector<std::pair<std::function<void(Blocks&)>, std::string>> damages = {
      {[](Blocks& b) { words(b[2], 16, {4}); },
       "block 5 NodeId index leaf: starts with 1.5, not with the separator 1.4 left of it"},
      {[](Blocks& b) { words(b[5], 12, {0}); }, "block 5 NodeId index leaf: holds no entry"},
      {[](Blocks& b) { words(b[5], 4, {0}); },
       "block 5 NodeId index leaf: left link 0, expected 4"},
      {[](Blocks& b) { words(b[6], 8, {505}), words(b[6], 512, {513}); },
       "block 6 object block: placeholder at offset 512 follows another placeholder"},
      {[](Blocks& b) { b[1][6] = 2; },
       "block 6 allocation map: state full, but the block has 1016 bytes free, a quarter or more"},
      {[](Blocks& b) { words(b[7], 0, {kSize + 1}), b[1][7] = 1; },
       "block 7 allocation map: state used, but the block holds no object"},
  };
  for (const auto& [damage, line] : damages) {
    Blocks b = sound_image();
    damage(b);
    Report report;
    check(b, report);
    EXPECT_EQ(problem_lines(report), "main.odb " + line + "\n");
  }
}

}  // namespace
}  // namespace checker
