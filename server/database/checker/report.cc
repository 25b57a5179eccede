// Printing a check's report as text or JSON.
#include "server/database/checker/report.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "server/database/support/text_format.h"

namespace checker {

namespace {

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

void Report::fact(const std::string& name, std::uint64_t value) {
  facts_.push_back({name, support::text_u64(value), true});
}

void Report::fact(const std::string& name, const std::string& value) {
  facts_.push_back({name, value, false});
}

std::size_t Report::problem(const std::string& file, std::optional<std::uint64_t> block,
                            const std::string& structure, const std::string& text) {
  // The kind: the problem with every run of digits taken as one.
  std::string kind;
  for (const char c : file + "\n" + structure + "\n" + text) {
    const bool digit = c >= '0' && c <= '9';
    if (!digit || kind.empty() || kind.back() != '#') kind += digit ? '#' : c;
  }
  auto& [listed, last] = kinds_[kind];
  if (listed == kListedPerKind) {
    ++problems_[last].more;
    return last;
  }
  ++listed;
  last = problems_.size();
  problems_.push_back({file, block, structure, text});
  return last;
}

std::uint64_t Report::problem_count() const {
  std::uint64_t count = problems_.size();
  for (const Problem& problem : problems_) count += problem.more;
  return count;
}

std::string problem_line(const Problem& problem) {
  std::string line = problem.file;
  if (problem.block) line += " block " + support::text_u64(*problem.block);
  line += " " + problem.structure + ": " + problem.text;
  if (problem.more > 0) line += " (and " + support::text_u64(problem.more) + " more like this)";
  return line;
}

std::string text_report(const Report& report, bool dump) {
  // One line per group of facts ("mdb", "journal", ...), in the order the
  // groups first appear: "group: value name=value ...".
  std::vector<std::pair<std::string, std::string>> groups;
  for (const Fact& fact : report.facts()) {
    const std::size_t dot = fact.name.find('.');
    const std::string group = fact.name.substr(0, dot);
    auto it =
        std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == group; });
    if (it == groups.end()) it = groups.insert(groups.end(), {group, ""});
    if (!it->second.empty()) it->second += " ";
    it->second +=
        dot == std::string::npos ? fact.value : fact.name.substr(dot + 1) + "=" + fact.value;
  }
  std::string out;
  for (const auto& [group, text] : groups) out += group + ": " + text + "\n";
  if (dump) {
    for (const DumpedObject& object : report.objects()) {
      out += "object " + object.ref + "\n";
      for (const DumpedProperty& property : object.properties) {
        out += "  " + support::text_u32(property.id) + " " + property.type + " " + property.value +
               "\n";
      }
    }
  }
  for (const Problem& problem : report.problems()) {
    out += problem_line(problem) + "\n";
  }
  if (report.sound()) {
    out += "sound\n";
  } else {
    out += support::text_u64(report.problem_count()) +
           (report.problem_count() == 1 ? " problem\n" : " problems\n");
  }
  return out;
}

std::string json_report(const Report& report, bool dump) {
  std::string out = "{\"sound\": ";
  out += report.sound() ? "true" : "false";
  out += ", \"facts\": {";
  const char* separator = "";
  for (const Fact& fact : report.facts()) {
    out += separator + json_string(fact.name) + ": " +
           (fact.is_number ? fact.value : json_string(fact.value));
    separator = ", ";
  }
  out += "}, \"problems\": [";
  separator = "";
  for (const Problem& problem : report.problems()) {
    out += separator;
    out += "{\"file\": " + json_string(problem.file) +
           ", \"block\": " + (problem.block ? support::text_u64(*problem.block) : "null") +
           ", \"structure\": " + json_string(problem.structure) +
           ", \"text\": " + json_string(problem.text) +
           ", \"more\": " + support::text_u64(problem.more) +
           ", \"line\": " + json_string(problem_line(problem)) + "}";
    separator = ", ";
  }
  out += "]";
  if (dump) {
    out += ", \"objects\": [";
    separator = "";
    for (const DumpedObject& object : report.objects()) {
      out += separator;
      out += "{\"ref\": " + json_string(object.ref) + ", \"properties\": [";
      const char* inner = "";
      for (const DumpedProperty& property : object.properties) {
        out += inner;
        out += "{\"id\": " + support::text_u32(property.id) +
               ", \"type\": " + json_string(property.type) +
               ", \"value\": " + json_string(property.value) + "}";
        inner = ", ";
      }
      out += "]}";
      separator = ", ";
    }
    out += "]";
  }
  return out + "}\n";
}

}  // namespace checker
