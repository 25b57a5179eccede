// Diagnostic lines of the meta database engine.
//
// The engine owns one process-wide mask (0x0E: bits 2, 4 and 8 on, bit 1,
// the traces, off). Every diagnostic of the engine goes through
// `diagnostic`, which prints one line on standard error when its bit is on.
#pragma once

#include <cstdint>
#include <string_view>

#include "server/database/support/diagnostics.h"

namespace mdb {

// The bits of the mask, by what the lines under them report.
inline constexpr std::uint32_t kDiagTrace = 1;    // step-by-step traces
inline constexpr std::uint32_t kDiagInfo = 2;     // journal and store events
inline constexpr std::uint32_t kDiagWarning = 4;  // unusual but handled
inline constexpr std::uint32_t kDiagNotice = 8;   // facts about the database

// The engine's mask; tests may change it and must restore it.
support::DiagnosticMask& diagnostic_mask();

// Prints `line` on standard error when the mask has `bit` set.
void diagnostic(std::uint32_t bit, std::string_view line);

}  // namespace mdb
