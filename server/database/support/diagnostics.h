// Diagnostic lines of the storage engines.
//
// Each engine owns one process-wide mask. A line "printed under bit k" goes
// to standard error, as one line, only while the mask has bit k set. Both
// engines start with 0x0E: bits 2, 4 and 8 (the informational lines) are on,
// bit 1 (traces) is off. No option changes the masks.
#pragma once

#include <cstdint>
#include <string_view>

namespace support {

inline constexpr std::uint32_t kDefaultDiagnosticMask = 0x0E;

class DiagnosticMask {
 public:
  explicit DiagnosticMask(std::uint32_t mask = kDefaultDiagnosticMask) : mask_(mask) {}

  bool enabled(std::uint32_t bit) const { return (mask_ & bit) != 0; }
  void set(std::uint32_t mask) { mask_ = mask; }
  std::uint32_t value() const { return mask_; }

  // Prints `line` and an end of line on standard error when `bit` is on.
  void print(std::uint32_t bit, std::string_view line) const;

 private:
  std::uint32_t mask_;
};

}  // namespace support
