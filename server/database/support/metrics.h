// Metrics: named counters, timings and gauges in named groups.
//
// Every group and metric is a process-wide object that exists before main()
// and lives until the process ends (see metrics_table.h). Updating a metric
// is a plain in-place change of that object: no lookup, no allocation.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/database/support/clock.h"

namespace meter {

class Group;

class Object {
 public:
  Object(Group* group, std::string name) : group(group), name(std::move(name)) {}
  virtual ~Object() = default;
  virtual int query() const = 0;

  Group* group;  // for a group: its parent, null for every group here
  std::string name;
};

class Metric : public Object {
 public:
  Metric(Group* group, std::string name, std::string unit, std::string description)
      : Object(group, std::move(name)),
        unit(std::move(unit)),
        description(std::move(description)) {}
  int query() const override { return 0; }
  // 2 for counters, 3 for timings, 0 for gauges.
  virtual int kind() const = 0;
  virtual void visit(void* argument) = 0;

  std::string unit;
  std::string description;
};

class IntegerCounter : public Metric {
 public:
  using Metric::Metric;
  int kind() const override { return 2; }
  void visit(void*) override {}
  void add(std::uint64_t n = 1) { value += n; }

  std::uint64_t value = 0;
};

class Timing : public Metric {
 public:
  using Metric::Metric;
  int kind() const override { return 3; }
  void visit(void*) override {}
  // Records one sample in the timing's unit; all arithmetic wraps.
  void record(std::uint64_t v);

  std::uint64_t count = 0;
  std::uint64_t minimum = ~std::uint64_t{0};
  std::uint64_t maximum = 0;
  std::uint64_t total = 0;
  std::uint64_t sum_of_squares = 0;
};

// Samples in whole milliseconds, rounded to the nearest one.
class MilliSecondTiming : public Timing {
 public:
  using Timing::Timing;
  static std::uint64_t to_unit(support::time_value duration);
  void record_duration(support::time_value duration) { record(to_unit(duration)); }
};

// Samples in microseconds.
class MicroSecondTiming : public Timing {
 public:
  using Timing::Timing;
  static std::uint64_t to_unit(support::time_value duration);
  void record_duration(support::time_value duration) { record(to_unit(duration)); }
};

// A callable without arguments, held by a gauge.
template <typename Result>
class BindBase {
 public:
  virtual Result invoke() = 0;
  virtual ~BindBase() = default;
  virtual BindBase* clone() const = 0;
};

template <typename Result>
class Bind0 : public BindBase<Result> {
 public:
  explicit Bind0(Result (*function)()) : function(function) {}
  Result invoke() override { return function(); }
  Bind0* clone() const override { return new Bind0(function); }

  Result (*function)();
};

class IntegerGaugeCallback : public Metric {
 public:
  // Keeps a clone of `binder`; the caller's binder stays the caller's.
  IntegerGaugeCallback(Group* group, std::string name, std::string unit, std::string description,
                       const BindBase<std::uint64_t>& binder)
      : Metric(group, std::move(name), std::move(unit), std::move(description)),
        callback(binder.clone()) {}
  int kind() const override { return 0; }
  void visit(void*) override {}
  std::uint64_t read() const { return callback->invoke(); }

  std::unique_ptr<BindBase<std::uint64_t>> callback;
};

class Group : public Object {
 public:
  Group(Group* parent, std::string name) : Object(parent, std::move(name)) {}
  int query() const override { return 0; }

  // Registries for a reader of the metrics; nothing in this program fills
  // them.
  std::map<std::string, Object*> members;
  std::vector<Group*> subgroups;
  std::vector<Metric*> metrics;
  std::vector<Object*> others;
};

}  // namespace meter
