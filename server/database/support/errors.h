// The two exception families of the storage engines.
//
// Every failure inside the meta database (MDB) engine throws a class of the
// `mdb` family, every failure inside the time series database (TSDB) engine
// a class of the `tsdb` family; both are rooted in error::Exception and are
// thrown by value. The engines never catch them: the program entry catches
// both families at the top and prints `text()`.
//
// The leaf classes add nothing to their base: they exist so that a handler
// can choose what it catches.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace error {

class Exception {
 public:
  virtual ~Exception() = default;
  // The fixed description given at the throw site.
  virtual std::string description_text() const = 0;

  // What the top-level handler prints: description followed by message.
  std::string text() const { return description_text() + message; }

  // Extra detail a thrower may add; every throw in this program leaves it
  // empty.
  std::string message;
};

// The system's message text for an error code (errno value). Trailing line
// ends are removed; a code the system has no text for yields
// "<code> (FormatMessage: <reason>)", and a text made only of line ends
// yields the code in decimal.
std::string system_error_text(std::uint32_t code);

// The same text in a process-wide 256-byte buffer that the next call
// overwrites. Not reentrant.
const char* system_error_text_buffer(std::uint32_t code);

// The text both forms share, after the lookup: applies the trimming and
// fallback rules to a raw system text. `raw` is null when the lookup failed,
// with `lookup_error` its own error code. Exposed for tests.
std::string finish_system_error_text(std::uint32_t code, const char* raw,
                                     std::uint32_t lookup_error);

}  // namespace error

#define VEXMON_DECLARE_ERROR(name, base) \
  struct name : base {                   \
    using base::base;                    \
  }

namespace mdb {

struct error_generic : error::Exception {
  explicit error_generic(std::string text) : description(std::move(text)) {}
  std::string description_text() const override { return description; }
  std::string description;
};

VEXMON_DECLARE_ERROR(error_internal, error_generic);
VEXMON_DECLARE_ERROR(error_range, error_internal);
VEXMON_DECLARE_ERROR(error_consistency, error_generic);
VEXMON_DECLARE_ERROR(error_fubar, error_consistency);
VEXMON_DECLARE_ERROR(error_need_repair, error_consistency);
VEXMON_DECLARE_ERROR(error_unsupported, error_consistency);
VEXMON_DECLARE_ERROR(error_io, error_generic);
VEXMON_DECLARE_ERROR(error_open, error_io);
VEXMON_DECLARE_ERROR(error_seek, error_io);
VEXMON_DECLARE_ERROR(error_transact, error_generic);
VEXMON_DECLARE_ERROR(error_nullobj, error_generic);
VEXMON_DECLARE_ERROR(error_index_conflict, error_generic);
VEXMON_DECLARE_ERROR(error_index_noentry, error_generic);
VEXMON_DECLARE_ERROR(error_dbnospace, error_generic);
VEXMON_DECLARE_ERROR(error_bigobj, error_generic);
// The set is locked by another process (a writer, or readers while a
// writer asks).
VEXMON_DECLARE_ERROR(error_in_use, error_generic);

}  // namespace mdb

namespace tsdb {

struct error_generic : error::Exception {
  explicit error_generic(std::string text) : description(std::move(text)) {}
  std::string description_text() const override { return description; }
  std::string description;
};

VEXMON_DECLARE_ERROR(error_internal, error_generic);
VEXMON_DECLARE_ERROR(error_dcalloc, error_internal);
VEXMON_DECLARE_ERROR(error_unref_used, error_internal);
VEXMON_DECLARE_ERROR(error_dbtype, error_internal);
VEXMON_DECLARE_ERROR(error_consistency, error_generic);
VEXMON_DECLARE_ERROR(error_dbnospace, error_generic);
VEXMON_DECLARE_ERROR(error_dbspacewrap, error_generic);
VEXMON_DECLARE_ERROR(error_io, error_generic);
VEXMON_DECLARE_ERROR(error_open, error_io);
VEXMON_DECLARE_ERROR(error_toobig, error_io);
VEXMON_DECLARE_ERROR(error_seek, error_io);
VEXMON_DECLARE_ERROR(error_read, error_io);

}  // namespace tsdb

#undef VEXMON_DECLARE_ERROR
