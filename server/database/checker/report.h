// The report of a check: facts about the set, problems found, and (with
// --dump) every object with its properties; printed as text or as one JSON
// document whose field names docs/checker_report.md fixes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace checker {

struct Fact {
  std::string name;
  std::string value;
  bool is_number = false;
};

// One problem: the file, the block (when one is concerned), the structure
// and what is wrong with it.
struct Problem {
  std::string file;
  std::optional<std::uint64_t> block;
  std::string structure;
  std::string text;
  // Problems of the same kind found after this one and not listed: a kind
  // (file, structure and text alike but for their numbers) is listed at
  // most Report::kListedPerKind times.
  std::uint64_t more = 0;
};

struct DumpedProperty {
  std::uint32_t id = 0;
  std::string type;
  std::string value;
};

struct DumpedObject {
  std::string ref;  // "block:offset"
  std::vector<DumpedProperty> properties;
};

class Report {
 public:
  void fact(const std::string& name, std::uint64_t value);
  void fact(const std::string& name, const std::string& value);
  // Returns the index of the listed problem that stands for this one: this
  // one, or the last listed of its kind.
  std::size_t problem(const std::string& file, std::optional<std::uint64_t> block,
                      const std::string& structure, const std::string& text);
  // Counts `count` more problems like the listed one at `index`, which the
  // caller found but did not build.
  void add_more(std::size_t index, std::uint64_t count) { problems_[index].more += count; }
  void object(DumpedObject object) { objects_.push_back(std::move(object)); }

  static constexpr std::uint64_t kListedPerKind = 10;

  bool sound() const { return problems_.empty(); }
  // Every problem found, listed or not.
  std::uint64_t problem_count() const;
  const std::vector<Fact>& facts() const { return facts_; }
  const std::vector<Problem>& problems() const { return problems_; }
  const std::vector<DumpedObject>& objects() const { return objects_; }

 private:
  std::vector<Fact> facts_;
  std::vector<Problem> problems_;
  // Per kind: how many were listed, and the last listed one.
  std::map<std::string, std::pair<std::uint64_t, std::size_t>> kinds_;
  std::vector<DumpedObject> objects_;
};

// "main.odb block 387 leaf: right link 5 names no leaf", with
// " (and N more like this)" when more of its kind were found.
std::string problem_line(const Problem& problem);

// The readable report: one line per group of facts, then the objects when
// `dump`, then one line per problem, then the verdict.
std::string text_report(const Report& report, bool dump);
// The same as one JSON document.
std::string json_report(const Report& report, bool dump);

}  // namespace checker
