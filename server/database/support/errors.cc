// System error texts for the two exception families.
#include "server/database/support/errors.h"

#include <cerrno>
#include <cstring>

namespace error {

namespace {

// The system's own text for `code`, or null when it has none.
const char* lookup_system_text(std::uint32_t code) {
  return ::strerrordesc_np(static_cast<int>(code));
}

}  // namespace

std::string finish_system_error_text(std::uint32_t code, const char* raw,
                                     std::uint32_t lookup_error) {
  if (raw == nullptr) {
    return std::to_string(code) + " (FormatMessage: " + std::to_string(lookup_error) + ")";
  }
  // The lookup fills at most 256 bytes, the last one a terminator.
  std::string text(raw, ::strnlen(raw, 255));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  if (text.empty()) return std::to_string(code);
  return text;
}

std::string system_error_text(std::uint32_t code) {
  return finish_system_error_text(code, lookup_system_text(code), EINVAL);
}

const char* system_error_text_buffer(std::uint32_t code) {
  static char buffer[256];
  const std::string text = finish_system_error_text(code, lookup_system_text(code), EINVAL);
  const std::size_t n = text.copy(buffer, sizeof buffer - 1);
  buffer[n] = '\0';
  return buffer;
}

}  // namespace error
