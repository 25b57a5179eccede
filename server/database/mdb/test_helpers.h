// Shared helpers of the MDB engine's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace mdb_testing {

// Creates `path` holding `size` zero bytes.
inline void make_zero_file(const std::string& path, std::uint64_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).close();
  std::filesystem::resize_file(path, size);
}

// Runs `action`, which must throw exactly `Error` with description `text`.
template <typename Error, typename Action>
void expect_error(Action&& action, const std::string& text) {
  try {
    action();
    ADD_FAILURE() << "no exception; expected: " << text;
  } catch (const Error& e) {
    EXPECT_EQ(typeid(e), typeid(Error));
    EXPECT_EQ(e.description_text(), text);
  }
}

// Runs `action` and returns what it wrote on standard error.
template <typename Action>
std::string stderr_of(Action&& action) {
  testing::internal::CaptureStderr();
  try {
    action();
  } catch (...) {
    testing::internal::GetCapturedStderr();
    throw;
  }
  return testing::internal::GetCapturedStderr();
}

}  // namespace mdb_testing
